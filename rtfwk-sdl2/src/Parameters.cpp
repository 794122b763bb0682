#include "Parameters.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

namespace rtfwk_sdl2
{
std::atomic<uint64_t> ParameterData::mNumInstances{0};
const std::string Parameter::EmptyStr;
const std::string Parameter::GlobalParameterDomain = "GLOBAL";
const ParameterRule Parameter::EmptyRule;

ParameterData::ParameterData()
{
	++mNumInstances;
}

ParameterData::ParameterData(const ParameterData& other) : ParameterData()
{
	*this = other;
}

ParameterData::~ParameterData()
{
	--mNumInstances;
}

ParameterData& ParameterData::operator=(const ParameterData& rhs)
{
	if (this == &rhs)
		return *this;
	mListeners = rhs.mListeners.getCopy();
	int accumulated;
	std::string o, v, c, d;
	ParameterRule r;
	{
		std::lock_guard<std::mutex> lock(rhs.mDataMutex);
		accumulated = rhs.mAccumulatedChanges;
		o = rhs.oldValue;
		v = rhs.value;
		c = rhs.caption;
		d = rhs.description;
		r = rhs.rules;
	}
	std::lock_guard<std::mutex> lock(mDataMutex);
	mAccumulatedChanges = accumulated;
	oldValue = std::move(o);
	value = std::move(v);
	caption = std::move(c);
	description = std::move(d);
	rules = std::move(r);
	return *this;
}

void ParameterData::AddListener(ParamChangeListener* listener)
{
	ScopedLock lock(mListeners);
	mListeners->push_back(listener);
}

void ParameterData::RemoveListener(ParamChangeListener* listener)
{
	ScopedLock lock(mListeners);
	const auto it = std::find(mListeners->begin(), mListeners->end(), listener);
	if (it != mListeners->end())
		mListeners->erase(it);
}

int64_t ParameterData::FindListener(ParamChangeListener* listener) const
{
	ScopedLock lock(mListeners);
	const auto it = std::find(mListeners->begin(), mListeners->end(), listener);
	return it == mListeners->end() ? -1 : static_cast<int64_t>(it - mListeners->begin());
}

void ParameterData::ClearAllListeners()
{
	ScopedLock lock(mListeners);
	mListeners->clear();
}

size_t ParameterData::NumListeners() const
{
	ScopedLock lock(mListeners);
	return mListeners->size();
}

void ParameterData::BeginEdit()
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	mAccumulatedChanges = 0;
}

void ParameterData::Changed(int changeFlag)
{
	if (changeFlag == 0)
		return;
	{
		std::lock_guard<std::mutex> lock(mDataMutex);
		if (mAccumulatedChanges >= 0)
		{
			mAccumulatedChanges |= changeFlag;
			return;
		}
	}
	// Held while the listeners run, so none of them can leave (and die) in the middle. A listener
	// may add or remove listeners here: walk a snapshot and skip those removed meanwhile.
	ScopedLock lock(mListeners);
	const std::vector<ParamChangeListener*> snapshot = &mListeners;
	for (ParamChangeListener* listener : snapshot)
	{
		if (std::find(mListeners->begin(), mListeners->end(), listener) != mListeners->end())
			listener->OnValueChanged(changeFlag);
	}
}

int ParameterData::EndEdit()
{
	int taken;
	{
		std::lock_guard<std::mutex> lock(mDataMutex);
		taken = mAccumulatedChanges;
		mAccumulatedChanges = -1;
	}
	if (taken <= 0)
		return 0;
	Changed(taken);
	return taken;
}

int ParameterData::Compare(const ParameterData& other) const
{
	if (this == &other)
		return ParamChangeListener::NONE;
	const std::string v = other.GetValue(), c = other.GetCaption(), d = other.GetDescription();
	const bool otherRuleEmpty = other.Rule().IsEmpty();
	std::lock_guard<std::mutex> lock(mDataMutex);
	int mask = ParamChangeListener::NONE;
	if (value != v)
		mask |= ParamChangeListener::VALUE;
	if (caption != c)
		mask |= ParamChangeListener::CAPTION;
	if (description != d)
		mask |= ParamChangeListener::DESCRIPTION;
	if (rules.IsEmpty() != otherRuleEmpty)
		mask |= ParamChangeListener::RULES;
	return mask;
}

ParameterRule ParameterData::Rule() const
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	return rules;
}

void ParameterData::SetRule(const ParameterRule& rule)
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	rules = rule;
}

#define PARAMDATA_GETTER(Name, member)                                                                                 \
	std::string ParameterData::Name() const                                                                            \
	{                                                                                                                  \
		std::lock_guard<std::mutex> lock(mDataMutex);                                                                  \
		return member;                                                                                                 \
	}
PARAMDATA_GETTER(GetValue, value)
PARAMDATA_GETTER(GetOldValue, oldValue)
PARAMDATA_GETTER(GetCaption, caption)
PARAMDATA_GETTER(GetDescription, description)
#undef PARAMDATA_GETTER

void ParameterData::SetValueText(const std::string& v)
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	value = v;
}

void ParameterData::SetOldValueText(const std::string& v)
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	oldValue = v;
}

bool ParameterData::SetCaptionText(const std::string& v)
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	if (caption == v)
		return false;
	caption = v;
	return true;
}

bool ParameterData::SetDescriptionText(const std::string& v)
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	if (description == v)
		return false;
	description = v;
	return true;
}

bool ParameterData::CommitOldValue()
{
	std::lock_guard<std::mutex> lock(mDataMutex);
	if (oldValue == value)
		return false;
	oldValue = value;
	return true;
}

Parameter::Parameter(const Parameter& other)
    : ParamChangeListener(other), mDomain(other.mDomain), mIsInEdit(other.mIsInEdit)
{
	SetData(other.GetData());
}

Parameter::~Parameter()
{
	LeaveListeners();
}

void Parameter::LeaveListeners()
{
	if (const auto data = GetData())
		data->RemoveListener(this);
}

Parameter& Parameter::operator=(const Parameter& rhs)
{
	if (this != &rhs)
	{
		mDomain = rhs.mDomain;
		SetData(rhs.GetData());
	}
	return *this;
}

Parameter& Parameter::operator=(const ParameterData& rhs)
{
	mChangesRelativeToDB = 0;
	auto data = GetData();
	if (!data)
	{
		Instantiate();
		data = GetData();
	}
	if (data.get() == &rhs)
		return *this;
	data->EndEdit();
	data->RemoveListener(this);
	const int mask = data->Compare(rhs);
	*data = rhs;
	data->AddListener(this);
	data->Changed(mask);
	return *this;
}

int Parameter::SetData(const std::shared_ptr<ParameterData>& data)
{
	const auto old = GetData();
	if (old == data)
		return 0;

	if (mIsInEdit > 0)
	{
		if (!old)
			data->BeginEdit();
		else
			old->EndEdit();
	}

	const int mask = (old && data) ? old->Compare(*data) : static_cast<int>(ALL);

	if (old)
		old->RemoveListener(this);
	std::atomic_store(&pData, data);
	if (data)
	{
		data->AddListener(this);
		if (mIsInEdit == 0)
			OnValueChanged(mask);
	}
	AddChanges(mask);
	return mask;
}

int Parameter::CopyFrom(const Parameter& other)
{
	BeginEdit();
	SetValue(other.Value());
	SetDescription(other.Description());
	SetCaption(other.Caption());
	SetRule(other.Rule());
	return EndEdit();
}

std::string Parameter::Value() const
{
	const auto data = GetData();
	return data ? data->GetValue() : EmptyStr;
}

int64_t Parameter::AsInteger(int64_t onError) const
{
	const std::string v = Value();
	if (v.empty())
		return onError;
	std::istringstream in(v);
	int64_t result = 0;
	if (!(in >> result))
		return 0;
	return result;
}

double Parameter::AsFloat(double onError) const
{
	const std::string v = Value();
	if (v.empty())
		return onError;
	try
	{
		return static_cast<double>(std::stof(v));
	}
	catch (const std::logic_error&)
	{
		return onError;
	}
}

bool Parameter::IsInteger() const
{
	const std::string v = Value();
	if (v.empty() || std::isspace(static_cast<unsigned char>(v.front())))
		return false;
	char* end = nullptr;
	errno = 0;
	(void)std::strtoll(v.c_str(), &end, 10);
	return errno == 0 && end == v.c_str() + v.size();
}

bool Parameter::IsDouble() const
{
	const std::string v = Value();
	if (v.empty() || std::isspace(static_cast<unsigned char>(v.front())))
		return false;
	char* end = nullptr;
	errno = 0;
	(void)std::strtod(v.c_str(), &end);
	return errno == 0 && end == v.c_str() + v.size();
}

std::string Parameter::Caption() const
{
	const auto data = GetData();
	return data ? data->GetCaption() : EmptyStr;
}

std::string Parameter::Description() const
{
	const auto data = GetData();
	return data ? data->GetDescription() : EmptyStr;
}

std::string Parameter::OldValue() const
{
	const auto data = GetData();
	return data ? data->GetOldValue() : EmptyStr;
}

void Parameter::SetCaption(const std::string& s)
{
	const auto data = GetData();
	if (data && data->SetCaptionText(s))
	{
		data->Changed(CAPTION);
		AddChanges(CAPTION);
	}
}

void Parameter::SetDescription(const std::string& s)
{
	const auto data = GetData();
	if (data && data->SetDescriptionText(s))
	{
		data->Changed(DESCRIPTION);
		AddChanges(DESCRIPTION);
	}
}

ParameterRule Parameter::Rule() const
{
	const auto data = GetData();
	return data ? data->Rule() : EmptyRule;
}

void Parameter::SetRule(const ParameterRule& rule)
{
	const auto data = GetData();
	if (!data || data->Rule().IsEmpty() == rule.IsEmpty())
		return;
	data->SetRule(rule);
	data->Changed(RULES);
	AddChanges(RULES);
}

ParameterDomain Parameter::Domain(const std::string& ClientID) const
{
	if (mDomain == GlobalParameterDomain)
		return PARAM_GLOBAL;
	if (mDomain == ClientID)
		return PARAM_MINE;
	if (mDomain.empty())
		return PARAM_CACHE;
	if (mDomain.find('_') == std::string::npos)
		return PARAM_GROUP;
	return PARAM_OTHER;
}

void Parameter::SetValue(const std::string& v)
{
	int mask = NONE;
	if (IsNull())
	{
		Instantiate();
		const auto data = GetData();
		if (!data)
			return;
		data->SetOldValueText(v);
		data->SetValueText(v);
		mask = ALL;
	}
	else if (Value() != v && IsValueOK(v))
	{
		GetData()->SetValueText(v);
		mask = VALUE;
	}
	if (const auto data = GetData())
		data->Changed(mask);
	AddChanges(mask);
}

bool Parameter::IsValueOK(const std::string& v) const
{
	const ParameterRule rule = Rule();
	if (rule.Limits.empty())
		return true;
	return rule.Limits.TestNoThrow(Json::Value(v), Json::Value()) == Json::Value(v);
}

std::string Parameter::LimitValueAsString(const std::string& v) const
{
	const ParameterRule rule = Rule();
	if (rule.Limits.empty())
		return v;
	// Numbers are limited as numbers, so that numeric bounds apply to numeric texts.
	Json::Value asJson(v);
	char* end = nullptr;
	if (!v.empty())
	{
		errno = 0;
		const long long i = std::strtoll(v.c_str(), &end, 10);
		if (errno == 0 && end == v.c_str() + v.size())
			asJson = Json::Value(static_cast<Json::Int64>(i));
		else
		{
			errno = 0;
			const double d = std::strtod(v.c_str(), &end);
			if (errno == 0 && end == v.c_str() + v.size())
				asJson = Json::Value(d);
		}
	}
	const Json::Value limited = rule.Limits.TestNoThrow(asJson, Json::Value());
	if (limited.isNull())
		return v;
	return limited.isString() ? limited.asString() : jsonutils::Compact(limited);
}

bool Parameter::Modified() const
{
	const auto data = GetData();
	return data && data->GetOldValue() != data->GetValue();
}

void Parameter::UpdateOldValue()
{
	if (const auto data = GetData())
	{
		if (data->CommitOldValue())
			data->Changed(OLD_VALUE);
	}
	mChangesRelativeToDB = 0;
}

void Parameter::Reset()
{
	if (const auto data = GetData())
		SetValue(data->GetOldValue());
	mChangesRelativeToDB = 0;
}

void Parameter::BeginEdit()
{
	if (mIsInEdit == 0)
	{
		if (const auto data = GetData())
			data->BeginEdit();
	}
	++mIsInEdit;
}

int Parameter::EndEdit()
{
	if (mIsInEdit == 0)
		return 0;
	if (--mIsInEdit > 0)
		return 0;
	const auto data = GetData();
	if (!data)
		return 0;
	const int bits = data->EndEdit();
	AddChanges(bits);
	return bits;
}
} // namespace rtfwk_sdl2
