-- A function with optional arguments called in a loop.
local function scale(x, by, plus)
  if by ~= nil then x = x * by end
  if plus ~= nil then x = x + plus end
  return x
end
local N = 300000
local acc = 0
for i = 1, N do
  local a = scale(i, 3, nil)
  local b = scale(i, nil, 1)
  local c = scale(i, 2, 5)
  acc = (acc + a + b + c) % 1000003
end
print(acc)
