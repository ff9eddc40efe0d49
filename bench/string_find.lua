-- Finding and replacing in a string: each match found from the last one and
-- replaced, the text rebuilt from its pieces.
local N = 100000

local function swap(s, old, new)
  local pieces = {}
  local start = 1
  local found = 0
  while true do
    local at = string.find(s, old, start, true)
    if not at then break end
    pieces[#pieces + 1] = string.sub(s, start, at - 1)
    pieces[#pieces + 1] = new
    start = at + #old
    found = found + 1
  end
  pieces[#pieces + 1] = string.sub(s, start)
  return table.concat(pieces), found
end

local parts = {}
for i = 1, N do parts[#parts + 1] = "ab-" .. (i % 10) .. " " end
local s = table.concat(parts)
local count = 0
for _ = 1, 3 do
  local k
  s, k = swap(s, "-7", "+7")
  count = count + k
  s, k = swap(s, "+7", "-7")
  count = count + k
end
print(count .. " " .. #s .. " " .. string.find(s, "-7", 1, true))
