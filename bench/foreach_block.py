# Iterating over a large list.
N = 1000000


def main():
    blk = []
    for i in range(1, N + 1):
        blk.append(i % 100)
    acc = 0
    for _ in range(5):
        for x in blk:
            acc = acc + x
    print(acc)


main()
