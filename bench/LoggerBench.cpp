#include "common/Logger.h"

#include <benchmark/benchmark.h>

DECLARE_LOG_CATEGORY(LogBenchQuiet, Normal);
DEFINE_LOG_CATEGORY(LogBenchQuiet, "bench-quiet");

// A statement above the compile-time ceiling: should cost nothing.
static void BM_LogAboveCeiling(benchmark::State& state)
{
	for (auto _ : state)
		KEL_LOG(LogBenchQuiet, logs::Debug, "value %d", 42);
}
BENCHMARK(BM_LogAboveCeiling);

// A logged statement: format, history, output handler.
static void BM_LogToHandler(benchmark::State& state)
{
	logs::Logger::Output = [](const logs::LogEntry& e) { benchmark::DoNotOptimize(e.Message.data()); };
	for (auto _ : state)
		KEL_LOG(LogBenchQuiet, logs::Normal, "connection %d from %s closed", 1234, "127.0.0.1");
	logs::Logger::Output = logs::LogOutputHandler();
}
BENCHMARK(BM_LogToHandler)->Threads(1)->Threads(2);
