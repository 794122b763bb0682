#pragma once
// Multicast events: every handler attached to a delegate is called with the same arguments.
//
// A handler attached with bind() stays while any copy of its handle lives; one attached with
// bindLocal() or += stays for the delegate's life. Dispatch copies the handler table and calls
// the copy without holding the lock, so a handler may attach or detach handlers on the same
// delegate; the change shows in the next dispatch.
//
// Lifetimes: a handle can outlive its delegate and be dropped on any thread, even while the
// delegate is being destroyed. Handles therefore reach the delegate through a shared lifeline
// that the delegate retires, under the lifeline's lock, before anything of it is torn down.
// Lock order: lifeline, then handler table. Nothing that can drop a handle runs under the table
// lock while the handle's record is still attached.

#include "common/ThreadSafeProperty.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include <tbb/parallel_for_each.h>
#include <tbb/task_arena.h>

// libtbb is not built with the race detector, which takes every hand-off between its threads
// for a race; under it the parallel flavour keeps its handlers on the calling thread.
#if defined(__SANITIZE_THREAD__)
#define KEL_DELEGATE_CALLER_ONLY 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KEL_DELEGATE_CALLER_ONLY 1
#endif
#endif

class BaseDelegateInterface;
class DelegateHandleInfo;
template <class R, class... Args>
class BaseDelegate;

namespace delegate_detail
{
using FDetach = void (*)(BaseDelegateInterface& delegate, DelegateHandleInfo& record);

// Shared by a delegate and the records of its handles; outlives the delegate.
struct Lifeline
{
	Lifeline(BaseDelegateInterface* owner, FDetach detach) : Owner(owner), Detach(detach) {}

	// Recursive: detaching may destroy a handler whose captures drop further handles.
	std::recursive_mutex Mutex;
	// Null once the delegate has started to die; guarded by Mutex.
	BaseDelegateInterface* Owner;
	// Non-virtual entry into the delegate, so a late handle never reads a vtable mid-destruction.
	const FDetach Detach;
};
} // namespace delegate_detail

// The record shared by all copies of one handle.
class DelegateHandleInfo
{
public:
	DelegateHandleInfo(uint64_t id, BaseDelegateInterface* delegate);
	DelegateHandleInfo(const DelegateHandleInfo&) = delete;
	DelegateHandleInfo& operator=(const DelegateHandleInfo&) = delete;
	~DelegateHandleInfo() { Invalidate(); }

	uint64_t ID() const { return mID.load(); }
	bool Valid() const { return ID() != 0; }
	// Detaches the handler from its delegate, if both are still there. Safe to repeat.
	void Invalidate();

private:
	friend class BaseDelegateInterface;
	template <class R, class... Args>
	friend class BaseDelegate;

	// Atomic: read by whoever drops the handle while the delegate may be detaching it.
	std::atomic<BaseDelegateInterface*> Delegate;
	std::atomic<uint64_t> mID;
	const std::shared_ptr<delegate_detail::Lifeline> mLifeline;
};

// Keeps a handler attached while any copy lives.
class DelegateHandle : public std::shared_ptr<DelegateHandleInfo>
{
public:
	DelegateHandle() = default;
	explicit DelegateHandle(std::shared_ptr<DelegateHandleInfo> info)
	    : std::shared_ptr<DelegateHandleInfo>(std::move(info))
	{
	}
};

class BaseDelegateInterface
{
public:
	BaseDelegateInterface(const BaseDelegateInterface&) = delete;
	BaseDelegateInterface& operator=(const BaseDelegateInterface&) = delete;

	// Detaches the record only; the table belongs to the derived delegate.
	virtual void unref(DelegateHandleInfo& record)
	{
		record.mID.store(0);
		record.Delegate.store(nullptr);
	}

	// A new attached record for handler `id`.
	DelegateHandle ref(uint64_t id);

protected:
	explicit BaseDelegateInterface(delegate_detail::FDetach detach)
	    : mLifeline(std::make_shared<delegate_detail::Lifeline>(this, detach))
	{
	}
	// Not for deleting through; a backstop in case a derived class forgot to retire.
	~BaseDelegateInterface() { retire(); }

	// From here on, dropped handles no longer call into this delegate. Waits for any that are
	// calling in right now.
	void retire()
	{
		std::lock_guard<std::recursive_mutex> lock(mLifeline->Mutex);
		mLifeline->Owner = nullptr;
	}

private:
	friend class DelegateHandleInfo;
	const std::shared_ptr<delegate_detail::Lifeline> mLifeline;
};

inline DelegateHandleInfo::DelegateHandleInfo(uint64_t id, BaseDelegateInterface* delegate)
    : Delegate(delegate), mID(id), mLifeline(delegate != nullptr ? delegate->mLifeline : nullptr)
{
}

inline void DelegateHandleInfo::Invalidate()
{
	// A detached record never goes back to its delegate, which may be gone.
	if (Delegate.load() != nullptr && mLifeline)
	{
		std::lock_guard<std::recursive_mutex> lock(mLifeline->Mutex);
		if (mLifeline->Owner != nullptr)
			mLifeline->Detach(*mLifeline->Owner, *this);
	}
	mID.store(0);
	Delegate.store(nullptr);
}

template <class R, class... Args>
class BaseDelegate : public BaseDelegateInterface
{
public:
	using handler_function = std::function<R(Args...)>;
	// Only void handlers are dispatched; the map form keeps the type defined for the others.
	using return_type = std::conditional_t<std::is_void_v<R>, uint64_t, std::map<uint64_t, R>>;

	struct HandlerInfo
	{
		handler_function Method;
		bool bHasHandle = false;
		std::weak_ptr<DelegateHandleInfo> Handle;
	};

	BaseDelegate() : BaseDelegateInterface(&BaseDelegate::detachThunk) {}
	BaseDelegate(const BaseDelegate&) = delete;
	BaseDelegate& operator=(const BaseDelegate&) = delete;
	virtual ~BaseDelegate()
	{
		retire();
		clear();
	}

	// The handler stays attached while a copy of the returned handle lives.
	[[nodiscard]] DelegateHandle bind(const handler_function& f)
	{
		ScopedLock lock(mCallbacks);
		const uint64_t id = ++mMaxID;
		const auto entry = mCallbacks->emplace(id, HandlerInfo{f, true, {}}).first;
		DelegateHandle handle;
		try
		{
			handle = ref(id);
		}
		catch (...)
		{
			mCallbacks->erase(entry);
			throw;
		}
		entry->second.Handle = handle;
		return handle;
	}

	// The handler stays attached until the delegate dies or is cleared.
	void bindLocal(const handler_function& f)
	{
		ScopedLock lock(mCallbacks);
		const uint64_t id = ++mMaxID;
		mCallbacks->emplace(id, HandlerInfo{f, false, {}});
	}

	BaseDelegate& operator+=(const handler_function& f)
	{
		bindLocal(f);
		return *this;
	}

	// Detaches the handle's handler now, for every copy of the handle.
	BaseDelegate& operator-=(const DelegateHandle& handle)
	{
		if (handle)
			detach(*handle);
		return *this;
	}

	// Detaches every handler; identifiers keep growing.
	void clear()
	{
		// Declared before the lock so it dies after unlocking: captures may drop handles.
		std::map<uint64_t, HandlerInfo> removed;
		ScopedLock lock(mCallbacks);
		mCallbacks->swap(removed);
		for (auto& entry : removed)
		{
			// A record already dying detaches itself through the lifeline and finds nothing.
			if (const auto record = entry.second.Handle.lock())
				BaseDelegateInterface::unref(*record);
		}
	}

	uint64_t num() const
	{
		ScopedLock lock(mCallbacks);
		return mCallbacks->size();
	}

	bool isBound() const { return num() != 0; }

	void unref(DelegateHandleInfo& record) override { detach(record); }

	// Calls nobody; the flavours below dispatch.
	virtual return_type operator()(Args...) const { return return_type{}; }

protected:
	// Calls one snapshot entry unless its handle died after the snapshot was taken.
	template <class... CallArgs>
	static void callHandler(const HandlerInfo& info, CallArgs&... args)
	{
		if (info.bHasHandle && info.Handle.expired())
			return;
		try
		{
			info.Method(args...);
		}
		catch (...)
		{
			// One failing handler must not keep the others from the event.
		}
	}

	// Last identifier handed out; guarded by the table lock.
	uint64_t mMaxID = 0;
	// Ordered by identifier, hence by attachment.
	ThreadSafeProperty<std::map<uint64_t, HandlerInfo>, std::recursive_mutex> mCallbacks;

private:
	static void detachThunk(BaseDelegateInterface& delegate, DelegateHandleInfo& record)
	{
		static_cast<BaseDelegate&>(delegate).detach(record);
	}

	void detach(DelegateHandleInfo& record)
	{
		HandlerInfo removed; // dies after unlocking, as in clear()
		ScopedLock lock(mCallbacks);
		// Another delegate's record, or one already detached.
		if (record.Delegate.load() != this)
			return;
		const auto it = mCallbacks->find(record.ID());
		if (it != mCallbacks->end())
		{
			removed = std::move(it->second);
			mCallbacks->erase(it);
		}
		BaseDelegateInterface::unref(record);
	}
};

// Runs the handlers concurrently on the oneTBB workers and waits for all of them.
template <class... Args>
class SimpleDelegate : public BaseDelegate<void, Args...>
{
	using Base = BaseDelegate<void, Args...>;

public:
	// Returns the number of handlers in the snapshot, skipped ones included.
	uint64_t operator()(Args... args) const override
	{
		const auto snapshot = this->mCallbacks.getCopy();
		if (snapshot.empty())
			return 0;
		using Entry = typename decltype(snapshot)::value_type;
		const auto runAll = [&]
		{
			tbb::parallel_for_each(snapshot.begin(), snapshot.end(),
			                       [&](const Entry& entry) { Base::callHandler(entry.second, args...); });
		};
#ifdef KEL_DELEGATE_CALLER_ONLY
		tbb::task_arena callerOnly(1, 1);
		callerOnly.execute(runAll);
#else
		runAll();
#endif
		return snapshot.size();
	}
};

// Runs the handlers one after another on the calling thread, in order of attachment.
template <class... Args>
class SimpleSyncDelegate : public BaseDelegate<void, Args...>
{
	using Base = BaseDelegate<void, Args...>;

public:
	// Returns the number of handlers in the snapshot, skipped ones included.
	uint64_t operator()(Args... args) const override
	{
		const auto snapshot = this->mCallbacks.getCopy();
		for (const auto& entry : snapshot)
			Base::callHandler(entry.second, args...);
		return snapshot.size();
	}
};
