# Sorts a large list of generated integers in the default order.
N = 1000000
STEP = 997


def main():
    a = []
    x = 1
    for _ in range(N):
        x = (x * 2011 + 7) % 1000003
        a.append(x)
    a.sort()
    check = 0
    for i in range(0, N, STEP):
        check += a[i]
    print(a[0], a[-1], check)


main()
