# Finding and replacing in a string: each match found from the last one and
# replaced, the text rebuilt from its pieces.
N = 100000


def swap(s, old, new):
    pieces = []
    start = 0
    found = 0
    while True:
        at = s.find(old, start)
        if at < 0:
            break
        pieces.append(s[start:at])
        pieces.append(new)
        start = at + len(old)
        found += 1
    pieces.append(s[start:])
    return "".join(pieces), found


def main():
    s = "".join("ab-%d " % (i % 10) for i in range(1, N + 1))
    count = 0
    for _ in range(3):
        s, k = swap(s, "-7", "+7")
        count += k
        s, k = swap(s, "+7", "-7")
        count += k
    print(count, len(s), s.find("-7") + 1)


main()
