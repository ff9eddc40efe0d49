# Recursive fib: the base case leaves the function early with return.
N = 32


def fib(n):
    if n < 2:
        return n
    return fib(n - 1) + fib(n - 2)


print(fib(N))
