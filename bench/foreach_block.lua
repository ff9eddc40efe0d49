-- Iterating over a large array.
local N = 1000000
local blk = {}
for i = 1, N do
  blk[#blk + 1] = i % 100
end
local acc = 0
for _ = 1, 5 do
  for _, x in ipairs(blk) do
    acc = acc + x
  end
end
print(acc)
