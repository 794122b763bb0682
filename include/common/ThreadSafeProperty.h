#pragma once
// Owner-aware locks and values guarded by their own mutex.
//
// Whole-value operations (copy out, assign in) lock by themselves; element access through
// operator-> / operator& does not, and the caller brackets it with a scope guard.

#include <atomic>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <thread>
#include <utility>

// A lockable object that remembers which thread locked it most recently (one mark, not a count).
class ILockable
{
public:
	ILockable() = default;
	// A copy is a new object: it is not held by anybody.
	ILockable(const ILockable&) {}
	ILockable& operator=(const ILockable&) { return *this; }
	virtual ~ILockable();

	virtual void Lock() const = 0;
	virtual void Unlock() const = 0;

	void SoftLock() const { mLockedBy.store(std::this_thread::get_id()); }
	void SoftUnlock() const { mLockedBy.store(std::thread::id()); }
	// Whether the calling thread holds the object; says nothing about other threads.
	bool IsLocked() const { return mLockedBy.load() == std::this_thread::get_id(); }

	bool LockChecked() const;
	bool UnlockChecked() const;

protected:
	mutable std::atomic<std::thread::id> mLockedBy{};
};

// The lock layer sits below the logger, so the warning about a lock destroyed while held
// goes through a hook that the logger installs.
namespace lockdiag
{
using FDestroyedWhileLocked = void (*)();
void SetDestroyedWhileLockedHook(FDestroyedWhileLocked hook) noexcept;
} // namespace lockdiag

template <class M>
class Lockable : public ILockable
{
public:
	Lockable() = default;
	// Mutexes are not copyable: a copy gets a fresh one.
	Lockable(const Lockable&) : ILockable() {}
	Lockable& operator=(const Lockable&) { return *this; }

	void Lock() const override
	{
		mMutex.lock();
		SoftLock();
	}
	void Unlock() const override
	{
		SoftUnlock();
		mMutex.unlock();
	}

	M& native() const { return mMutex; }

protected:
	mutable M mMutex;
};

class SharedLockable : public Lockable<std::shared_mutex>
{
public:
	// Shared holders never set the owner mark.
	void LockShared() const { mMutex.lock_shared(); }
	void UnlockShared() const { mMutex.unlock_shared(); }
};

// Locks exclusively for its lifetime. Not for nesting on a non-recursive mutex.
class ScopedLock
{
public:
	ScopedLock() = default;
	explicit ScopedLock(const ILockable* obj);
	explicit ScopedLock(const ILockable& obj) : ScopedLock(&obj) {}
	ScopedLock(const ScopedLock&) = delete;
	ScopedLock& operator=(const ScopedLock&) = delete;
	~ScopedLock() { Release(); }

	void Release();
	bool Expired() const { return mLockedInterface.load() == nullptr; }

private:
	std::atomic<const ILockable*> mLockedInterface{nullptr};
};

// Locks only when the calling thread is not already the owner; unlocks only what it locked.
class CheckedScopedLock
{
public:
	CheckedScopedLock() = default;
	explicit CheckedScopedLock(const ILockable* obj);
	explicit CheckedScopedLock(const ILockable& obj) : CheckedScopedLock(&obj) {}
	CheckedScopedLock(const CheckedScopedLock&) = delete;
	CheckedScopedLock& operator=(const CheckedScopedLock&) = delete;
	~CheckedScopedLock() { Release(); }

	void Release();
	bool Expired() const { return mLockedInterface.load() == nullptr; }

private:
	std::atomic<const ILockable*> mLockedInterface{nullptr};
};

// Gives up a lock the calling thread holds for the scope, and takes it back at the end.
class InverseScopedLock
{
public:
	InverseScopedLock() = default;
	explicit InverseScopedLock(const ILockable* obj);
	explicit InverseScopedLock(const ILockable& obj) : InverseScopedLock(&obj) {}
	InverseScopedLock(const InverseScopedLock&) = delete;
	InverseScopedLock& operator=(const InverseScopedLock&) = delete;
	~InverseScopedLock() { Release(); }

	void Release();
	bool Expired() const { return mLockedInterface.load() == nullptr; }

private:
	std::atomic<const ILockable*> mLockedInterface{nullptr};
};

// Share-locks for its lifetime, unless the calling thread already holds the object exclusively.
class SharedScopedLock
{
public:
	SharedScopedLock() = default;
	explicit SharedScopedLock(const Lockable<std::shared_mutex>* obj);
	explicit SharedScopedLock(const Lockable<std::shared_mutex>& obj) : SharedScopedLock(&obj) {}
	SharedScopedLock(const SharedScopedLock&) = delete;
	SharedScopedLock& operator=(const SharedScopedLock&) = delete;
	~SharedScopedLock() { Release(); }

	void Release();
	bool Expired() const { return mLockedInterface.load() == nullptr; }

private:
	std::atomic<const Lockable<std::shared_mutex>*> mLockedInterface{nullptr};
};

template <class T, class M = std::mutex>
class ThreadSafeProperty : public Lockable<M>
{
public:
	ThreadSafeProperty() = default;
	ThreadSafeProperty(const T& value) : mPropertyValue(value) {}
	ThreadSafeProperty(T&& value) : mPropertyValue(std::move(value)) {}
	ThreadSafeProperty(const ThreadSafeProperty& other) : Lockable<M>(), mPropertyValue(other.getCopy()) {}
	~ThreadSafeProperty() override = default;

	ThreadSafeProperty& operator=(const T& value)
	{
		ScopedLock lock(this);
		mPropertyValue = value;
		return *this;
	}
	ThreadSafeProperty& operator=(T&& value)
	{
		ScopedLock lock(this);
		mPropertyValue = std::move(value);
		return *this;
	}
	// Locks the destination, then the source.
	ThreadSafeProperty& operator=(const ThreadSafeProperty& other)
	{
		if (this != std::addressof(other))
		{
			ScopedLock lock(this);
			mPropertyValue = other.getCopy();
		}
		return *this;
	}

	// Locks exclusively, also for a shared mutex, so it waits for shared holders.
	T getCopy() const
	{
		ScopedLock lock(this);
		return mPropertyValue;
	}
	operator T() const { return getCopy(); }

	void copyInto(T& out) const
	{
		ScopedLock lock(this);
		out = mPropertyValue;
	}
	void copyInto(T* out) const
	{
		if (out != nullptr)
			copyInto(*out);
	}
	void copyFrom(const ThreadSafeProperty& other) { *this = other; }

	// Unlocked access: the caller holds the lock.
	T* operator->() { return &mPropertyValue; }
	const T* operator->() const { return &mPropertyValue; }
	T& operator&() { return mPropertyValue; }
	const T& operator&() const { return mPropertyValue; }

private:
	T mPropertyValue{};
};
