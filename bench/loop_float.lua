-- Counting loop with float accumulators; every sum is exact in a double.
local N = 5000000
local x = 0.0
local acc = 0.0
for _ = 1, N do
  x = x + 0.5
  acc = acc + x
end
print(acc)
