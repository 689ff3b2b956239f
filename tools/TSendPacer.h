#pragma once

#include <chrono>

// Paces a sender at an offered rate in batches: batch after batch of up to Batch() items, the
// one starting at item n due n / rate seconds after the start. A sender that falls behind sends
// the batches that are due at once, so the rate over the run holds; a sender with time to spare
// waits once per batch, not once per item. Rate 0: flat out, every batch due at once.
//
// Batches are about BatchSpan long at the rate (between 1 and maxBatch items), so bursts stay
// short against a receive buffer.
class TSendPacer {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::microseconds BatchSpan{500};

  TSendPacer(double ratePerSecond, int maxBatch);

  // Items in the next batch, when sent items went out already and total are to go in all.
  int Batch(long sent, long total) const;
  // When the batch starting at item sent is due, for a run started at started.
  Clock::time_point Due(Clock::time_point started, long sent) const;
  double Rate() const { return FRate; }

 private:
  const double FRate;
  int FBatch = 1;
};
