-- Objects (tables) made and their fields read and set in a loop.
local N = 300000
local acc = 0
for i = 1, N do
  local p = {x = i, y = i * 2}
  p.x = p.x + p.y
  acc = (acc + p.x) % 1000003
end
print(acc)
