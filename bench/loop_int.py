# Counting loop with an integer accumulator kept below 2^31 by a remainder.
N = 5000000


def main():
    acc = 0
    for i in range(1, N + 1):
        acc = (acc + i) % 1000003
    print(acc)


main()
