# The structure bench/kivbin_bench.cpp encodes, through pickle: 100,000
# records of an integer, a float, a string, a word (a short string here), a
# nested list, a date, a tuple of bytes and an object (a small dict).
import datetime
import pickle
import time

b = []
for i in range(1, 100001):
    b.append([i, i * 1.5, "text %d" % i, "w", ["nested", 1, 2], datetime.date(2026, 12, 12),
              bytes([1, 2, 3]), {"a": i}])
rounds = 5
t = time.perf_counter()
for _ in range(rounds):
    image = pickle.dumps(b, protocol=pickle.HIGHEST_PROTOCOL)
enc = (time.perf_counter() - t) / rounds
t = time.perf_counter()
for _ in range(rounds):
    pickle.loads(image)
dec = (time.perf_counter() - t) / rounds
mb = len(image) / 1e6
print("pickle         image %6.2f MB  encode %7.1f MB/s (%5.0f ms)  decode %7.1f MB/s (%5.0f ms)"
      % (mb, mb / enc, enc * 1e3, mb / dec, dec * 1e3))
