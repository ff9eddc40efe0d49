-- Sorts a large list of generated integers in the default order.
local N = 1000000
local STEP = 997
local a = {}
local x = 1
for i = 1, N do
  x = (x * 2011 + 7) % 1000003
  a[i] = x
end
table.sort(a)
local check = 0
for i = 1, N, STEP do
  check = check + a[i]
end
print(a[1] .. " " .. a[N] .. " " .. check)
