# A dict of integer keys built, then looked up.
N = 200000


def main():
    m = {}
    for i in range(1, N + 1):
        m[i] = i * 3
    acc = 0
    for _ in range(5):
        for i in range(1, N + 1):
            acc = (acc + m[i]) % 1000003
    print(len(m), acc)


main()
