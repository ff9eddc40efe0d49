-- Appending to an array and indexing it.
local N = 1000000
local blk = {}
for i = 1, N do
  table.insert(blk, i * 7 % 1009)
end
local acc = 0
for i = 1, N do
  acc = acc + blk[N + 1 - i]
end
print(#blk .. " " .. acc)
