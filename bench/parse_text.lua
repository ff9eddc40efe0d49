-- Scans a large generated text token by token: letter runs, digit runs and
-- single other characters, counting each kind.
local N = 200000
local WORDS = {"alpha ", "beta ", "gamma ", "delta "}
local parts = {}
local n = 0
for i = 1, N do
  parts[n + 1] = WORDS[i % 4 + 1]
  parts[n + 2] = tostring(i)
  parts[n + 3] = ", "
  n = n + 3
end
local text = table.concat(parts)
local words, numbers, digits, other = 0, 0, 0, 0
local pos, len = 1, #text
local find = string.find
while pos <= len do
  local s, e = find(text, "^%a+", pos)
  if s then
    words = words + 1
  else
    s, e = find(text, "^%d+", pos)
    if s then
      numbers = numbers + 1
      digits = digits + (e - s + 1)
    else
      e = pos
      other = other + 1
    end
  end
  pos = e + 1
end
print(len .. " " .. words .. " " .. numbers .. " " .. digits .. " " .. other)
