#pragma once
// Parameter values: ParameterData is the shared state of one value, Parameter a handle that views
// it under a domain (address). Every handle viewing a data hears each change of it through
// ParamChangeListener; BeginEdit/EndEdit collect a batch of changes into one notification.
//
// Threads: the strings, the rule and the edit accumulator of a data sit behind the data's own
// leaf mutex (never held while calling out), the listener list behind a recursive mutex that is
// held while listeners run. A handle's data pointer is swapped atomically. Compound edits of one
// value are serialised by the owner (the manager's parameters use their own lock).

#include "common/RestrictionRules.h"
#include "common/ThreadSafeProperty.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace rtfwk_sdl2
{
// From least to most specific; used as bits in read masks.
enum ParameterDomain
{
	PARAM_CACHE = 1,
	PARAM_GLOBAL = 2,
	PARAM_GROUP = 4,
	PARAM_MINE = 8,
	PARAM_OTHER = 16
};

class ParamChangeListener
{
public:
	enum ParameterProperty
	{
		NONE = 0,
		VALUE = 1,
		CAPTION = 2,
		DESCRIPTION = 4,
		RULES = 8,
		OLD_VALUE = 16,
		ALL = 31
	};

	virtual void OnValueChanged(int changeFlag) { (void)changeFlag; }

protected:
	// Never deleted through this interface.
	~ParamChangeListener() = default;
};

class ParameterData
{
public:
	ParameterData();
	ParameterData(const ParameterData& other);
	ParameterData& operator=(const ParameterData& rhs);
	virtual ~ParameterData();

	static uint64_t GetNumInstances() { return mNumInstances.load(); }

	void AddListener(ParamChangeListener* listener);
	void RemoveListener(ParamChangeListener* listener);
	// Index of the first occurrence, or -1.
	int64_t FindListener(ParamChangeListener* listener) const;
	void ClearAllListeners();
	size_t NumListeners() const;

	// Starts collecting changes; a second call discards what was collected.
	void BeginEdit();
	// Announces changeFlag now, or collects it while an edit is open.
	void Changed(int changeFlag);
	// Ends the edit and announces what it collected; returns those bits (0 with no edit open).
	int EndEdit();
	// The change mask between two data; old values are not compared.
	int Compare(const ParameterData& other) const;

	ParameterRule Rule() const;
	void SetRule(const ParameterRule& rule);

	std::string GetValue() const;
	std::string GetOldValue() const;
	std::string GetCaption() const;
	std::string GetDescription() const;
	void SetValueText(const std::string& v);
	void SetOldValueText(const std::string& v);
	// Each returns true when the text changed.
	bool SetCaptionText(const std::string& v);
	bool SetDescriptionText(const std::string& v);
	// Copies the value into the old value; true when they differed.
	bool CommitOldValue();

	ThreadSafeProperty<std::vector<ParamChangeListener*>, std::recursive_mutex> mListeners;

protected:
	// Guards everything below; a leaf lock.
	mutable std::mutex mDataMutex;
	// -1 when no edit is open.
	int mAccumulatedChanges = -1;
	static std::atomic<uint64_t> mNumInstances;
	std::string oldValue;
	std::string value;
	std::string caption;
	std::string description;
	ParameterRule rules;
};

class Parameter : public ParamChangeListener
{
public:
	static const std::string EmptyStr;
	static const std::string GlobalParameterDomain;
	static const ParameterRule EmptyRule;

	Parameter() = default;
	explicit Parameter(const std::string& domain) : mDomain(domain) {}
	Parameter(const Parameter& other);
	virtual ~Parameter();

	Parameter& operator=(const Parameter& rhs);
	Parameter& operator=(const ParameterData& rhs);

	// Attaches this handle to data; returns the change mask.
	int SetData(const std::shared_ptr<ParameterData>& data);
	std::shared_ptr<ParameterData> GetData() const { return std::atomic_load(&pData); }
	int StealFrom(const Parameter& other) { return SetData(other.GetData()); }
	int CopyFrom(const Parameter& other);
	void Instantiate() { SetData(std::make_shared<ParameterData>()); }
	void Clear() { SetData(nullptr); }

	virtual bool IsNull() const { return !GetData(); }

	// Copies: another thread may change the value meanwhile.
	std::string Value() const;
	std::string AsString() const { return Value(); }
	int64_t AsInteger(int64_t onError = 0) const;
	double AsFloat(double onError = 0.0) const;
	bool IsInteger() const;
	bool IsDouble() const;

	std::string Caption() const;
	std::string Description() const;
	std::string OldValue() const;
	void SetCaption(const std::string& s);
	void SetDescription(const std::string& s);

	ParameterRule Rule() const;
	void SetRule(const ParameterRule& rule);
	int64_t IsRestricted(int64_t ActiveRestrictions) const { return ActiveRestrictions & Rule().Restriction; }

	ParameterDomain Domain(const std::string& ClientID) const;
	const std::string& GetRawDomain() const { return mDomain; }

	virtual void SetValue(const std::string& v);
	bool IsValueOK(const std::string& v) const;
	std::string LimitValueAsString(const std::string& v) const;

	bool Modified() const;
	void UpdateOldValue();
	void Reset();
	void BeginEdit();
	int EndEdit();
	int Changes() const { return mChangesRelativeToDB.load(); }

protected:
	void AddChanges(int mask) { mChangesRelativeToDB.fetch_or(mask); }
	// Stops hearing the held data's changes; the data stays held.
	void LeaveListeners();
	// Forgets the data without telling anybody.
	void ReleaseData() { std::atomic_store(&pData, std::shared_ptr<ParameterData>()); }

	std::string mDomain;
	int mIsInEdit = 0;
	std::atomic<int> mChangesRelativeToDB{0};

private:
	// Read and swapped only through atomic_load/atomic_store.
	std::shared_ptr<ParameterData> pData;
};
} // namespace rtfwk_sdl2
