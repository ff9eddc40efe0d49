# Objects made and their fields read and set in a loop.
N = 300000


class P:
    __slots__ = ("x", "y")

    def __init__(self, x, y):
        self.x = x
        self.y = y


def main():
    acc = 0
    for i in range(1, N + 1):
        p = P(i, i * 2)
        p.x = p.x + p.y
        acc = (acc + p.x) % 1000003
    print(acc)


main()
