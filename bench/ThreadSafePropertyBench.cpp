#include "common/ThreadSafeProperty.h"

#include <benchmark/benchmark.h>

#include <map>
#include <string>

static void BM_ScopedLockUncontended(benchmark::State& state)
{
	Lockable<std::mutex> obj;
	for (auto _ : state)
	{
		ScopedLock lock(obj);
		benchmark::DoNotOptimize(&lock);
	}
}
BENCHMARK(BM_ScopedLockUncontended);

static void BM_CheckedScopedLockNested(benchmark::State& state)
{
	Lockable<std::mutex> obj;
	ScopedLock outer(obj);
	for (auto _ : state)
	{
		CheckedScopedLock inner(obj);
		benchmark::DoNotOptimize(&inner);
	}
}
BENCHMARK(BM_CheckedScopedLockNested);

// The snapshot a delegate takes before every dispatch.
static void BM_GetCopyOfSmallMap(benchmark::State& state)
{
	ThreadSafeProperty<std::map<int, std::string>, std::recursive_mutex> table;
	for (int i = 0; i < state.range(0); ++i)
		(&table)[i] = "handler";
	for (auto _ : state)
		benchmark::DoNotOptimize(table.getCopy());
}
BENCHMARK(BM_GetCopyOfSmallMap)->Arg(1)->Arg(4)->Arg(16);
