# Counting loop driven by a while condition and an explicit counter.
N = 5000000


def main():
    acc = 0
    i = 0
    while i < N:
        i = i + 1
        acc = (acc + i) % 1000003
    print(acc)


main()
