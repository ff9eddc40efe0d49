# Builds one long string by appending a number and a comma per round.
N = 2000000


def main():
    s = ""
    for i in range(1, N + 1):
        s += str(i)
        s += ","
    print(len(s), s[-8:])


main()
