#include "common/ThreadSafeProperty.h"

namespace
{
std::atomic<lockdiag::FDestroyedWhileLocked> gDestroyedWhileLockedHook{nullptr};
}

void lockdiag::SetDestroyedWhileLockedHook(FDestroyedWhileLocked hook) noexcept
{
	gDestroyedWhileLockedHook.store(hook);
}

ILockable::~ILockable()
{
	if (mLockedBy.load() == std::thread::id())
		return;
	if (auto hook = gDestroyedWhileLockedHook.load())
		hook();
}

bool ILockable::LockChecked() const
{
	if (IsLocked())
		return false;
	Lock();
	return true;
}

bool ILockable::UnlockChecked() const
{
	if (!IsLocked())
		return false;
	Unlock();
	return true;
}

ScopedLock::ScopedLock(const ILockable* obj)
{
	if (obj == nullptr)
		return;
	obj->Lock();
	mLockedInterface.store(obj);
}

void ScopedLock::Release()
{
	if (auto obj = mLockedInterface.exchange(nullptr))
		obj->Unlock();
}

CheckedScopedLock::CheckedScopedLock(const ILockable* obj)
{
	if (obj != nullptr && obj->LockChecked())
		mLockedInterface.store(obj);
}

void CheckedScopedLock::Release()
{
	if (auto obj = mLockedInterface.exchange(nullptr))
		obj->Unlock();
}

InverseScopedLock::InverseScopedLock(const ILockable* obj)
{
	if (obj != nullptr && obj->UnlockChecked())
		mLockedInterface.store(obj);
}

void InverseScopedLock::Release()
{
	if (auto obj = mLockedInterface.exchange(nullptr))
		obj->LockChecked();
}

SharedScopedLock::SharedScopedLock(const Lockable<std::shared_mutex>* obj)
{
	if (obj == nullptr || obj->IsLocked())
		return;
	obj->native().lock_shared();
	mLockedInterface.store(obj);
}

void SharedScopedLock::Release()
{
	if (auto obj = mLockedInterface.exchange(nullptr))
		obj->native().unlock_shared();
}
