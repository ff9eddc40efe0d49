# Sorts generated integers in descending order through a comparator function.
from functools import cmp_to_key

N = 200000
STEP = 997


def compare(a, b):
    if a > b:
        return -1
    if a < b:
        return 1
    return 0


def main():
    a = []
    x = 1
    for _ in range(N):
        x = (x * 2011 + 7) % 1000003
        a.append(x)
    a.sort(key=cmp_to_key(compare))
    check = 0
    for i in range(0, N, STEP):
        check += a[i]
    print(a[0], a[-1], check)


main()
