# Appending to a list and indexing it.
N = 1000000


def main():
    blk = []
    for i in range(1, N + 1):
        blk.append(i * 7 % 1009)
    acc = 0
    for i in range(1, N + 1):
        acc = acc + blk[N - i]
    print(len(blk), acc)


main()
