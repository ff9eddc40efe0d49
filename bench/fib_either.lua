-- Recursive fib: the base case chosen by a conditional expression.
local N = 32

local function fib(n)
  return n < 2 and n or fib(n - 1) + fib(n - 2)
end

print(fib(N))
