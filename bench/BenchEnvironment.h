// The loopback environments of the exchange benchmarks, made on first use
// and torn down by main once every benchmark has run.
#pragma once

namespace bench {

// Destroys the service client, the serving side and the raw floor, if they
// were made. Benchmark thread, after the last benchmark.
void releaseEnvironments();

} // namespace bench
