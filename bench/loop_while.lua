-- Counting loop driven by a while condition and an explicit counter.
local N = 5000000
local acc = 0
local i = 0
while i < N do
  i = i + 1
  acc = (acc + i) % 1000003
end
print(acc)
