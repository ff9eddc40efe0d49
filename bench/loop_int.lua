-- Counting loop with an integer accumulator kept below 2^31 by a remainder.
local N = 5000000
local acc = 0
for i = 1, N do
  acc = (acc + i) % 1000003
end
print(acc)
