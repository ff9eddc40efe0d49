-- Builds one long string by appending a number and a comma per round.
-- Lua strings are immutable, so the pieces go into a buffer table that is
-- joined once: the language's own way to grow a string.
local N = 2000000
local buf = {}
local n = 0
for i = 1, N do
  n = n + 1
  buf[n] = tostring(i)
  n = n + 1
  buf[n] = ","
end
local s = table.concat(buf)
print(#s .. " " .. s:sub(-8))
