-- The same script for Debian's native lua5.4 and the packed interpreter: numbers as Lua formats
-- them, strings and UTF-8, tables, coroutines, errors caught, the arguments, standard input,
-- and a status of its own.
print(string.format("%.17g %.14g %g %.3f", math.exp(1), 1 / 3, 2 / 3 * 1e300, 0.1))
print(math.pi, math.maxinteger, math.mininteger, 7 // 2, 7.0 // 2, 2 ^ 53, 10 / 4)
print(math.fmod(7.5, 2), math.sqrt(2), math.log(10), math.sin(1), math.floor(-3.5), math.tointeger(3.0))
print(string.format("%5.2f|%-6d|%x|%q", 3.14159, 42, 255, "a\nb\0c"))
local snow = "ü ☃ 😀"
print(snow, #snow, utf8.len(snow), utf8.char(0x263A, 0x1F600), snow:upper())
for position, code in utf8.codes(snow) do io.write(position, ":", code, " ") end
print()
print(("%s|%s"):format(string.pack("<i4", 1000):byte(1, -1)), string.unpack("<d", string.pack("<d", 0.1)))
local words = {}
for word in ("the quick brown fox jumps over the lazy dog"):gmatch("%a+") do words[#words + 1] = word end
table.sort(words)
print(table.concat(words, ","), select("#", table.unpack(words)))
local generator = coroutine.wrap(function() for i = 1, 3 do coroutine.yield(i * i) end end)
print(generator(), generator(), generator())
print(pcall(error, "boom", 0), select(2, pcall(function() local t = nil; return t.field end)))
print(select(2, pcall(string.rep)), select(2, load("return 1 +")))
for i = 0, #arg do print("arg", i == 0 and "(script)" or i, arg[i] == nil and "nil" or (i == 0 and "" or arg[i])) end
local lines = 0
for line in io.lines() do lines = lines + 1; print("stdin", lines, line) end
io.stderr:write("to standard error\n")
os.exit(3)
