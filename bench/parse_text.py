# Scans a large generated text token by token: letter runs, digit runs and
# single other characters, counting each kind.
import re

N = 200000
WORDS = ["alpha ", "beta ", "gamma ", "delta "]
TOKEN = re.compile(r"([A-Za-z]+)|([0-9]+)|.", re.S)


def main():
    parts = []
    for i in range(1, N + 1):
        parts.append(WORDS[i % 4])
        parts.append(str(i))
        parts.append(", ")
    text = "".join(parts)
    words = numbers = digits = other = 0
    for m in TOKEN.finditer(text):
        kind = m.lastindex
        if kind == 1:
            words += 1
        elif kind == 2:
            numbers += 1
            digits += m.end() - m.start()
        else:
            other += 1
    print(len(text), words, numbers, digits, other)


main()
