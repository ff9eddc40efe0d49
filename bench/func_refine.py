# A function with optional keyword arguments called in a loop.
N = 300000


def scale(x, by=None, plus=None):
    if by is not None:
        x = x * by
    if plus is not None:
        x = x + plus
    return x


def main():
    acc = 0
    for i in range(1, N + 1):
        a = scale(i, by=3)
        b = scale(i, plus=1)
        c = scale(i, by=2, plus=5)
        acc = (acc + a + b + c) % 1000003
    print(acc)


main()
