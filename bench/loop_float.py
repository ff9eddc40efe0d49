# Counting loop with float accumulators; every sum is exact in a double.
N = 5000000


def main():
    x = 0.0
    acc = 0.0
    for _ in range(N):
        x = x + 0.5
        acc = acc + x
    print(acc)


main()
