#include "tools/TSendPacer.h"

#include <algorithm>
#include <cmath>

TSendPacer::TSendPacer(double ratePerSecond, int maxBatch) : FRate(std::max(0.0, ratePerSecond)) {
  const int most = std::max(1, maxBatch);
  if (FRate == 0) {
    FBatch = most;
  } else {
    const double perSpan = FRate * std::chrono::duration<double>(BatchSpan).count();
    FBatch = static_cast<int>(std::clamp(std::floor(perSpan), 1.0, static_cast<double>(most)));
  }
}

int TSendPacer::Batch(long sent, long total) const {
  return static_cast<int>(std::clamp(total - sent, 0L, static_cast<long>(FBatch)));
}

TSendPacer::Clock::time_point TSendPacer::Due(Clock::time_point started, long sent) const {
  if (FRate == 0) {
    return started;
  }
  return started + std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(sent) / FRate));
}
