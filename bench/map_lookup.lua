-- A table of integer keys built, then looked up.
local N = 200000
local m = {}
local count = 0
for i = 1, N do
  if m[i] == nil then count = count + 1 end
  m[i] = i * 3
end
local acc = 0
for _ = 1, 5 do
  for i = 1, N do
    acc = (acc + m[i]) % 1000003
  end
end
print(count .. " " .. acc)
