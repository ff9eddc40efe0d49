# Builds a dict of a million string keys, one put per round.
N = 1000000


def main():
    d = {}
    for i in range(1, N + 1):
        d["key" + str(i)] = i
    print(len(d), d["key500000"])


main()
