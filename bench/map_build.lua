-- Builds a table of a million string keys, one put per round.
local N = 1000000
local t = {}
local count = 0
for i = 1, N do
  local k = "key" .. i
  if t[k] == nil then count = count + 1 end
  t[k] = i
end
print(count .. " " .. t["key500000"])
