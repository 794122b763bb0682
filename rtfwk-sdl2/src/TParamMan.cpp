#include "TParamMan.h"

#include "TActionMan.h"

#include "common/JsonPath.h"

#include <cstdlib>
#include <utility>
#include <vector>

DEFINE_LOG_CATEGORY(LogParams, "params");

namespace rtfwk_sdl2
{
std::atomic<TParamMan*> pParamMan{nullptr};
std::set<std::string> TParamMan::ParametersThatTriggerAction;

namespace
{
// Binding chains are short; the bound guards against a cycle made by hand.
constexpr int MaxBindingDepth = 64;
} // namespace

int highestOrderBit(int bits)
{
	if (bits <= 0)
		return 0;
	int result = 1;
	while ((bits >>= 1) != 0)
		result <<= 1;
	return result;
}

int lowestOrderBit(int bits)
{
	return bits & -bits;
}

// ---------------------------------------------------------------------------------------------
// TAppParam

TAppParam::TAppParam(const std::string& Name, const Parameter& Data, TParamMan* manager)
    : Parameter(Data.GetRawDomain()), mName(Name)
{
	if (manager != nullptr)
		mOwner = manager->mLifeline;
	if (!mDomain.empty())
		mPreferedSaveLocation = Domain(Manager() != nullptr ? Manager()->ClientID() : std::string());
	bParamChangedAction = TParamMan::ParametersThatTriggerAction.count(Name) != 0;
	StealFrom(Data);
}

TAppParam::TAppParam(const std::string& Name, const std::string& ClientID, TParamMan* manager)
    : Parameter(ClientID), mName(Name)
{
	if (manager != nullptr)
		mOwner = manager->mLifeline;
	bParamChangedAction = TParamMan::ParametersThatTriggerAction.count(Name) != 0;
}

TAppParam::TAppParam(const std::string& Name, ParameterDomain Domain, TParamMan* manager)
    : TAppParam(Name,
                manager != nullptr ? manager->AddressOf(Domain, manager->ClientID())
                                   : GetAddressOf(Domain,
                                                  []
                                                  {
	                                                  TParamMan* global = pParamMan.load();
	                                                  return global != nullptr ? global->ClientID() : std::string();
                                                  }()),
                manager)
{
}

TAppParam::~TAppParam()
{
	{
		std::lock_guard<std::mutex> lock(mLeafMutex);
		mListeners.clear();
	}
	Unbind();
	// Before the handle base goes: a change on another thread must not find a half-destroyed listener.
	LeaveListeners();
}

TParamMan* TAppParam::Manager() const
{
	if (mOwner)
		return mOwner->load();
	return pParamMan.load();
}

bool TAppParam::IsNull() const
{
	return this == TParamMan::pVoidParam().get() || Parameter::IsNull();
}

std::string TAppParam::GetAddressOf(ParameterDomain domain, const std::string& ClientID)
{
	if (TParamMan* manager = pParamMan.load())
		return manager->AddressOf(domain, ClientID);
	switch (domain)
	{
		case PARAM_CACHE:
		case PARAM_MINE:
		case PARAM_OTHER:
			return ClientID;
		case PARAM_GLOBAL:
			return TParamMan::GetGlobalDomain();
		case PARAM_GROUP:
			return ClientID.substr(0, ClientID.find('_'));
	}
	return std::string();
}

void TAppParam::SetValue(const std::string& Value, bool bAndSave)
{
	// The shared null parameter must stay null for everybody.
	if (this == TParamMan::pVoidParam().get())
		return;
	if (!Parameter::IsNull() && Value == Parameter::Value())
		return;
	ScopedLock lock(this);
	Parameter::SetValue(Value);
	if (bAndSave && Value != OldValue())
		Save(LOG_CHANGE, false);
}

void TAppParam::Save(EParamSaveMode saveMode, bool bSync)
{
	if (ReadOnly())
		throw "Parameter is read only!";
	if (IsNull())
		throw "Cannot save null parameter!";
	ScopedLock lock(this);
	if (TParamMan* manager = Manager())
		manager->OnStoreValue(*this, saveMode, bSync);
	UpdateOldValue();
}

int TAppParam::Load(const Parameter& param)
{
	if (this == TParamMan::pVoidParam().get())
		return 0;
	ScopedLock lock(this);
	if (param.GetRawDomain() == GetSourceRawDomain())
		return CopyFrom(param);
	return StealFrom(param);
}

void TAppParam::Update()
{
	TParamMan* manager = Manager();
	if (manager == nullptr || this == TParamMan::pVoidParam().get())
		return;
	Parameter answer;
	try
	{
		answer = manager->OnRequestValue(GetRawDomain(), mName);
	}
	catch (...)
	{
		answer = Parameter();
	}
	ScopedLock lock(this);
	int bits = 0;
	// No answer keeps the value we have rather than dropping it.
	if (!answer.IsNull())
	{
		BeginEdit();
		Load(answer);
		UpdateOldValue();
		bits = EndEdit();
	}
	if (bits == 0)
		TriggerListener(0, 0);
}

void TAppParam::Delete()
{
	if (this == TParamMan::pVoidParam().get())
		return;
	ScopedLock lock(this);
	if (TParamMan* manager = Manager())
		manager->OnDeleteValue(*this);
	LeaveListeners();
	Parameter::ReleaseData();
}

void TAppParam::Bind(const std::shared_ptr<TAppParam>& otherParam)
{
	if (!otherParam || otherParam->IsNull() || otherParam.get() == this || this == TParamMan::pVoidParam().get())
		return;
	ScopedLock lock(this);
	Unbind();
	StealFrom(*otherParam);
	std::lock_guard<std::mutex> leaf(mLeafMutex);
	pBoundTo = otherParam;
	bBound = true;
}

void TAppParam::Unbind()
{
	ScopedLock lock(this);
	{
		std::lock_guard<std::mutex> leaf(mLeafMutex);
		if (!bBound)
			return;
		bBound = false;
		pBoundTo.reset();
	}
	Clear();
}

std::shared_ptr<TAppParam> TAppParam::BoundSource() const
{
	std::lock_guard<std::mutex> leaf(mLeafMutex);
	return pBoundTo.lock();
}

std::shared_ptr<TAppParam> TAppParam::IsBound() const
{
	return BoundSource();
}

std::string TAppParam::GetSourceRawDomain() const
{
	auto source = BoundSource();
	if (!source)
		return GetRawDomain();
	for (int depth = 0; depth < MaxBindingDepth; ++depth)
	{
		auto next = source->BoundSource();
		if (!next)
			break;
		source = std::move(next);
	}
	return source->GetRawDomain();
}

ParameterDomain TAppParam::GetSourceDomain(const std::string& ClientID) const
{
	auto source = BoundSource();
	if (!source)
		return Domain(ClientID);
	for (int depth = 0; depth < MaxBindingDepth; ++depth)
	{
		auto next = source->BoundSource();
		if (!next)
			break;
		source = std::move(next);
	}
	return source->Domain(ClientID);
}

unsigned TAppParam::AddConsumingListener(ParamChangeConsumer listener, int priority)
{
	// Listeners on the shared null parameter would pile up and hear nothing.
	if (!listener || this == TParamMan::pVoidParam().get())
		return 0;
	std::lock_guard<std::mutex> leaf(mLeafMutex);
	const unsigned id = ++mLastListenerID;
	auto position = mListeners.begin();
	while (position != mListeners.end() && position->Priority >= priority)
		++position;
	mListeners.insert(position, ListenerStruct{std::move(listener), id, priority});
	return id;
}

unsigned TAppParam::AddListener(ParamChangeListener listener, int priority)
{
	if (!listener)
		return 0;
	return AddConsumingListener(
	    [listener = std::move(listener)](TAppParam* param, int changeFlag)
	    {
		    listener(param, changeFlag);
		    return false;
	    },
	    priority);
}

void TAppParam::RemoveListener(unsigned ID)
{
	std::lock_guard<std::mutex> leaf(mLeafMutex);
	for (auto it = mListeners.begin(); it != mListeners.end(); ++it)
	{
		if (it->ID == ID)
		{
			mListeners.erase(it);
			return;
		}
	}
}

std::list<TAppParam::ListenerStruct> TAppParam::GetListeners() const
{
	std::lock_guard<std::mutex> leaf(mLeafMutex);
	return mListeners;
}

void TAppParam::AddListenersOf(const TAppParam& param)
{
	if (&param == this)
		return;
	for (const ListenerStruct& other : param.GetListeners())
	{
		const ParamChangeConsumer consumer = other.Listener;
		AddConsumingListener(
		    [consumer](TAppParam* p, int changeFlag)
		    {
			    consumer(p, changeFlag);
			    return false;
		    },
		    other.Priority);
	}
}

void TAppParam::TriggerListener(unsigned ID, int changeFlag)
{
	// Called without the leaf lock, so listeners may add or remove listeners, or read this one.
	const std::list<ListenerStruct> snapshot = GetListeners();
	for (const ListenerStruct& entry : snapshot)
	{
		if (ID != 0 && entry.ID != ID)
			continue;
		if (entry.Listener(this, changeFlag) && ID == 0)
			break;
		if (ID != 0)
			break;
	}
}

void TAppParam::OnValueChanged(int changeFlag)
{
	TParamMan* manager = Manager();
	if (manager != nullptr && (changeFlag & OLD_VALUE) != 0)
	{
		if (bParamChangedAction && changeFlag != ALL && !IsBound())
		{
			if (TActionMan* actions = manager->GetActionManager())
				actions->GenerateAction("DBParameterChanged", this, ACTION_ANY);
		}
		manager->OnStoredValueChanged(mName, Domain(manager->ClientID()));
	}
	TriggerListener(0, changeFlag);
}

// ---------------------------------------------------------------------------------------------
// TParamMan

TParamMan::TParamMan() : mLifeline(std::make_shared<std::atomic<TParamMan*>>(this))
{
}

TParamMan::~TParamMan()
{
	SaveParams();
	mLifeline->store(nullptr);
	TParamMan* self = this;
	pParamMan.compare_exchange_strong(self, nullptr);
	// Parameters die after the lock is released: their destructors take data locks.
	ParamMap cache;
	{
		ScopedLock lock(ParamList);
		ParamList->swap(cache);
	}
	cache.clear();
	ScopedLock lock(ToStore);
	ToStore->clear();
}

const std::shared_ptr<TAppParam>& TParamMan::pVoidParam()
{
	// Never destroyed: look-ups may come from static destructors.
	static const auto* const voidParam = new std::shared_ptr<TAppParam>(std::make_shared<TAppParam>("NULL", ""));
	return *voidParam;
}

const std::string& TParamMan::GetGlobalDomain()
{
	return Parameter::GlobalParameterDomain;
}

std::string TParamMan::ClientID() const
{
	std::lock_guard<std::mutex> lock(mClientIDMutex);
	return mClientID;
}

void TParamMan::SetClientID(const std::string& NewClientID)
{
	UpdateClientID(NewClientID, ClientID());
	std::lock_guard<std::mutex> lock(mClientIDMutex);
	mClientID = NewClientID;
}

std::string TParamMan::GetGroupDomain(const std::string& ClientIP) const
{
	const size_t underscore = ClientIP.find('_');
	if (underscore != std::string::npos)
		return ClientIP.substr(0, underscore);
	const std::string own = ClientID();
	return own.substr(0, own.find('_'));
}

std::string TParamMan::AddressOf(ParameterDomain domain, const std::string& ClientID) const
{
	switch (domain)
	{
		case PARAM_CACHE:
		case PARAM_MINE:
		case PARAM_OTHER:
			return ClientID;
		case PARAM_GLOBAL:
			return GetGlobalDomain();
		case PARAM_GROUP:
			return GetGroupDomain(ClientID);
	}
	return std::string();
}

ThreadSafeProperty<ParameterRuleset, std::shared_mutex>& TParamMan::Limits()
{
	static auto* const limits = new ThreadSafeProperty<ParameterRuleset, std::shared_mutex>();
	return *limits;
}

ParameterRule TParamMan::FindRule(const std::string& ParamName)
{
	auto& limits = Limits();
	SharedScopedLock lock(limits);
	return (&limits).Find(JsonPath(ParamName));
}

// ---- reading

std::shared_ptr<TAppParam> TParamMan::FindAtLocked(const std::string& ParamName, const std::string& address) const
{
	const auto range = ParamList->equal_range(ParamName);
	for (auto it = range.first; it != range.second; ++it)
	{
		if (it->second->GetRawDomain() == address)
			return it->second;
	}
	return nullptr;
}

std::shared_ptr<TAppParam> TParamMan::FindInCacheLocked(const std::string& ClientIP, const std::string& ParamName,
                                                        int readMode, std::string* boundAddress, bool* needBound) const
{
	if (readMode == PARAM_CACHE)
		readMode = PARAM_MINE;
	std::shared_ptr<TAppParam> found;
	if ((readMode & PARAM_MINE) != 0)
		found = FindAtLocked(ParamName, ClientIP);
	if (!found && (readMode & PARAM_GROUP) != 0)
		found = FindAtLocked(ParamName, GetGroupDomain(ClientIP));
	if (!found && (readMode & PARAM_GLOBAL) != 0)
		return FindAtLocked(ParamName, GetGlobalDomain());
	if (found && boundAddress != nullptr && needBound != nullptr)
	{
		const std::string wanted = AddressOf(static_cast<ParameterDomain>(highestOrderBit(
		                                         readMode & (PARAM_CACHE | PARAM_GLOBAL | PARAM_GROUP | PARAM_MINE))),
		                                     ClientIP);
		*needBound = found->GetRawDomain() != wanted;
		*boundAddress = wanted;
	}
	return found;
}

std::shared_ptr<TAppParam> TParamMan::MakeBound(const std::string& ParamName, const std::string& address,
                                                const std::shared_ptr<TAppParam>& source)
{
	// Built and bound outside the cache lock (lock order), then published.
	auto bound = std::make_shared<TAppParam>(ParamName, address, this);
	bound->Bind(source);
	if (TryAddParamToCache(bound, false))
		return bound;
	ScopedLock lock(ParamList);
	auto existing = FindAtLocked(ParamName, address);
	return existing ? existing : source;
}

std::shared_ptr<TAppParam> TParamMan::GetExactParamFromCache(const std::string& ClientIP, const std::string& ParamName,
                                                             int readMode, bool createBoundParam)
{
	if (ParamName.empty())
		return pVoidParam();
	std::string boundAddress;
	std::shared_ptr<TAppParam> found;
	bool needBound = false;
	{
		ScopedLock lock(ParamList);
		found =
		    FindInCacheLocked(ClientIP, ParamName, readMode, createBoundParam ? &boundAddress : nullptr, &needBound);
	}
	if (!found)
		return pVoidParam();
	if (needBound)
		return MakeBound(ParamName, boundAddress, found);
	return found;
}

std::shared_ptr<TAppParam> TParamMan::GetParamFromCache(const std::string& ParamName, int ReadMode,
                                                        bool createBoundParam)
{
	if (ParamName.empty())
		return pVoidParam();
	if ((ReadMode & (PARAM_GLOBAL | PARAM_GROUP | PARAM_MINE)) == 0)
	{
		KEL_LOG(LogParams, logs::Warning, "application::Parameter \"%s\" searched in cache with no proper domain.",
		        ParamName.c_str());
		return pVoidParam();
	}
	return GetExactParamFromCache(ClientID(), ParamName, ReadMode, createBoundParam);
}

std::shared_ptr<TAppParam> TParamMan::GetParam(const std::string& ParamName, int ReadMode)
{
	return GetExactParam(ClientID(), ParamName, ReadMode);
}

std::shared_ptr<TAppParam> TParamMan::GetExactParam(const std::string& ClientIP, const std::string& ParamName,
                                                    int readMode)
{
	return GetExactParamImpl(ClientIP, ParamName, readMode, false);
}

std::shared_ptr<TAppParam> TParamMan::GetExactParamImpl(const std::string& ClientIP, const std::string& ParamName,
                                                        int readMode, bool bSilent)
{
	readMode &= PARAM_CACHE | PARAM_GLOBAL | PARAM_GROUP | PARAM_MINE;
	if (ParamName.empty() || readMode == 0)
		return pVoidParam();
	if (readMode == PARAM_CACHE)
		return GetExactParamFromCache(ClientIP, ParamName, PARAM_MINE, true);

	const auto cached = GetExactParamFromCache(ClientIP, ParamName, readMode, true);
	if ((readMode & PARAM_CACHE) != 0 && cached != pVoidParam())
		return cached;

	int backMode = readMode;
	if (ClientIP.empty())
		backMode &= ~(PARAM_GROUP | PARAM_MINE);
	const auto highest = static_cast<ParameterDomain>(highestOrderBit(backMode));
	const std::string address = AddressOf(highest, ClientIP);
	Parameter answer;
	try
	{
		answer = OnRequestValue(address, ParamName);
	}
	catch (...)
	{
		answer = Parameter();
	}
	if (answer.IsNull() || (answer.Domain(ClientIP) & readMode) == 0)
	{
		if (!bSilent)
			KEL_LOG(LogParams, logs::Warning, "No parameter named '%s' for ID '%s' exists!", ParamName.c_str(),
			        address.c_str());
		return pVoidParam();
	}

	const std::string answerValue = answer.Value();
	const ParameterDomain answerDomain = answer.Domain(ClientIP);
	std::shared_ptr<TAppParam> result;
	if (cached != pVoidParam() && cached->GetRawDomain() == address && answerDomain == highest)
	{
		cached->Load(answer);
		result = cached;
	}
	else
	{
		const bool quiet = cached != pVoidParam() ? cached->QuietSave.load() : false;
		std::shared_ptr<TAppParam> previous;
		{
			ScopedLock lock(ParamList);
			previous = FindAtLocked(ParamName, answer.GetRawDomain());
		}
		bool inherited = quiet;
		if (!previous)
		{
			auto created = std::make_shared<TAppParam>(ParamName, answer.GetRawDomain(), this);
			created->QuietSave = quiet;
			created->Load(answer);
			created->SetRule(FindRule(ParamName));
			if (TryAddParamToCache(created, false))
				previous = created;
			else
			{
				ScopedLock lock(ParamList);
				previous = FindAtLocked(ParamName, answer.GetRawDomain());
			}
			if (!previous)
				return pVoidParam();
		}
		else
		{
			inherited = previous->QuietSave.load();
			previous->Load(answer);
		}
		// A chain global, group, mine in which each level shares the data of the one below.
		for (int domain = answerDomain << 1; domain <= PARAM_MINE; domain <<= 1)
		{
			if ((readMode & domain) == 0)
				continue;
			const std::string levelAddress = AddressOf(static_cast<ParameterDomain>(domain), ClientIP);
			if (levelAddress == previous->GetRawDomain())
				continue;
			std::shared_ptr<TAppParam> level;
			{
				ScopedLock lock(ParamList);
				level = FindAtLocked(ParamName, levelAddress);
			}
			if (!level)
			{
				auto created = std::make_shared<TAppParam>(ParamName, levelAddress, this);
				created->QuietSave = inherited;
				created->Bind(previous);
				level = TryAddParamToCache(created, false) ? created : nullptr;
				if (!level)
				{
					ScopedLock lock(ParamList);
					level = FindAtLocked(ParamName, levelAddress);
				}
				if (!level)
					return pVoidParam();
			}
			else
				level->Bind(previous);
			previous = level;
		}
		result = previous;
	}

	if (result->Value() != answerValue)
	{
		try
		{
			result->Save(LOG_CHANGE, false);
		}
		catch (const char*)
		{
			// A read-only parameter keeps its store copy.
		}
	}
	return result;
}

// ---- writing

std::shared_ptr<TAppParam> TParamMan::SetParam(const std::string& ParamName, const std::string& ParamValue,
                                               ParameterDomain StoreMode, const std::string& Caption,
                                               const std::string& Description, bool Quiet)
{
	const bool cacheOnly = StoreMode == PARAM_CACHE;
	const std::string address = AddressOf(cacheOnly ? PARAM_MINE : StoreMode, ClientID());
	return SetExactParam(address, ParamName, ParamValue, cacheOnly, Caption, Description, Quiet);
}

std::shared_ptr<TAppParam> TParamMan::SetExactParam(const std::string& ClientID, const std::string& ParamName,
                                                    const std::string& ParamValue, bool cacheOnly,
                                                    const std::string& Caption, const std::string& Description,
                                                    bool Quiet)
{
	if (ParamName.empty())
		return pVoidParam();
	if (ClientID.empty())
		cacheOnly = true;

	auto param = GetExactParamFromCache(ClientID, ParamName, PARAM_MINE, false);
	if (param == pVoidParam())
	{
		auto created = std::make_shared<TAppParam>(ParamName, ClientID, this);
		if (!cacheOnly)
			created->SetPreferedSaveLocation(created->Domain(ClientID));
		created->BeginEdit();
		created->SetValue(ParamValue);
		created->SetRule(FindRule(ParamName));
		if (!Caption.empty())
			created->SetCaption(Caption);
		if (!Description.empty())
			created->SetDescription(Description);
		created->EndEdit();
		created->QuietSave = Quiet;
		if (TryAddParamToCache(created, false))
		{
			if (!cacheOnly)
				AddToStoreQueue(created);
			return created;
		}
		// Another thread added the name meanwhile: update that one rather than drop this value.
		param = GetExactParamFromCache(ClientID, ParamName, PARAM_MINE, false);
		if (param == pVoidParam())
		{
			AddParamToCache(created); // logs why it is refused
			return pVoidParam();
		}
	}

	ScopedLock lock(param.get());
	param->BeginEdit();
	param->SetValue(ParamValue);
	if (!Caption.empty())
		param->SetCaption(Caption);
	if (!Description.empty())
		param->SetDescription(Description);
	param->EndEdit();
	param->QuietSave = Quiet;
	if (!cacheOnly)
		AddToStoreQueue(param);
	return param;
}

std::shared_ptr<TAppParam> TParamMan::GetOrSetParam(const std::string& ParamName, const std::string& DefaultValue,
                                                    const std::string& Caption, const std::string& Description,
                                                    ParameterReadWriteMode RWMode, bool Quiet)
{
	return GetOrSetExactParam(ClientID(), ParamName, DefaultValue, Caption, Description, RWMode, Quiet);
}

std::shared_ptr<TAppParam> TParamMan::GetOrSetExactParam(const std::string& ClientID, const std::string& ParamName,
                                                         const std::string& DefaultValue, const std::string& Caption,
                                                         const std::string& Description, ParameterReadWriteMode RWMode,
                                                         bool Quiet)
{
	const int readSet = RWMode & (PARAM_CACHE | PARAM_GLOBAL | PARAM_GROUP | PARAM_MINE);
	const auto writeDomain = static_cast<ParameterDomain>(static_cast<int>(RWMode) >> 4);
	// Silent: a missing parameter is the normal case here.
	const auto found = GetExactParamImpl(ClientID, ParamName, readSet, true);
	const auto readDomain = static_cast<ParameterDomain>(highestOrderBit(readSet));

	if (found != pVoidParam())
	{
		found->QuietSave = Quiet;
		found->SetPreferedSaveLocation(found->Domain(ClientID));
		found->SetSaveForAllLocation(writeDomain);
		return found;
	}
	if (readDomain != PARAM_MINE && writeDomain == PARAM_MINE)
	{
		KEL_LOG(LogParams, logs::Error, "Weird GetOrSet for param '%s'-> writing mine but reading something else",
		        ParamName.c_str());
		return pVoidParam();
	}
	if ((readSet & ~PARAM_CACHE) == PARAM_MINE && writeDomain == PARAM_GLOBAL)
	{
		KEL_LOG(LogParams, logs::Error, "Weird GetOrSet for param '%s'-> reading only mine but writing global",
		        ParamName.c_str());
		return pVoidParam();
	}

	const auto written = SetExactParam(AddressOf(writeDomain, ClientID), ParamName, DefaultValue,
	                                   writeDomain == PARAM_CACHE, Caption, Description, Quiet);
	if (written == pVoidParam())
		return written;
	written->SetPreferedSaveLocation(writeDomain);
	written->SetSaveForAllLocation(writeDomain);
	if (written->Domain(ClientID) >= readDomain)
		return written;

	const std::string readAddress = AddressOf(readDomain, ClientID);
	auto bound = std::make_shared<TAppParam>(ParamName, readAddress, this);
	bound->SetPreferedSaveLocation(writeDomain);
	bound->SetSaveForAllLocation(writeDomain);
	bound->Bind(written);
	bound->QuietSave = Quiet;
	if (TryAddParamToCache(bound, false))
		return bound;
	ScopedLock lock(ParamList);
	const auto existing = FindAtLocked(ParamName, readAddress);
	return existing ? existing : pVoidParam();
}

// ---- environment

bool TParamMan::LoadParamFromEnvironment(const std::string& EnvironmentName, const std::string& AsParamName,
                                         const std::string& DefaultValue)
{
	const char* value = std::getenv(EnvironmentName.c_str());
	SetParam(AsParamName, value != nullptr ? std::string(value) : DefaultValue, PARAM_CACHE, "", "", false);
	return value == nullptr;
}

bool TParamMan::LoadParamFromEnvironment(const std::string& EnvironmentName, const std::string& AsParamName)
{
	const char* value = std::getenv(EnvironmentName.c_str());
	if (value == nullptr)
	{
		KEL_LOG(LogParams, logs::Critical, "Required environment variable '%s' is not set!", EnvironmentName.c_str());
		return true;
	}
	SetParam(AsParamName, std::string(value), PARAM_CACHE, "", "", false);
	return false;
}

// ---- cache and store

bool TParamMan::TryAddParamToCache(const std::shared_ptr<TAppParam>& pParam, bool bWarnDuplicate)
{
	if (!pParam || pParam == pVoidParam())
		return false;
	if (pParam->Domain(ClientID()) == PARAM_CACHE)
	{
		KEL_LOG(LogParams, logs::Warning, "Parameter \"%s\" domain cannot be CACHE", pParam->Name().c_str());
		return false;
	}
	ScopedLock lock(ParamList);
	if (FindAtLocked(pParam->Name(), pParam->GetRawDomain()))
	{
		if (bWarnDuplicate)
			KEL_LOG(LogParams, logs::Warning, "Parameter \"%s\" of ID %s already exists in this application",
			        pParam->Name().c_str(), pParam->GetRawDomain().c_str());
		return false;
	}
	ParamList->emplace(pParam->Name(), pParam);
	return true;
}

TParamMan::ParamMap::iterator TParamMan::AddParamToCache(const std::shared_ptr<TAppParam>& pParam)
{
	ScopedLock lock(ParamList);
	if (!TryAddParamToCache(pParam, true))
		return ParamList->end();
	const auto range = ParamList->equal_range(pParam->Name());
	for (auto it = range.first; it != range.second; ++it)
	{
		if (it->second == pParam)
			return it;
	}
	return ParamList->end();
}

bool TParamMan::AddParamToCache2(const std::shared_ptr<TAppParam>& pParam)
{
	return TryAddParamToCache(pParam, true);
}

int TParamMan::DropParamFromCache(const std::shared_ptr<TAppParam>& pParam)
{
	// A copy: the argument may be the very cache entry we erase.
	const std::shared_ptr<TAppParam> keep = pParam;
	if (!keep || keep == pVoidParam())
		return -1;
	// Same order as everywhere else: the parameter, then the cache, then the store queue.
	ScopedLock paramLock(keep.get());
	ScopedLock cacheLock(ParamList);
	{
		ScopedLock storeLock(ToStore);
		ToStore->erase(std::weak_ptr<TAppParam>(keep));
	}
	const auto range = ParamList->equal_range(keep->Name());
	for (auto it = range.first; it != range.second; ++it)
	{
		if (it->second == keep)
		{
			ParamList->erase(it);
			return 0;
		}
	}
	return -2;
}

int TParamMan::DropParamFromCache(const std::string& ParamName, int Filter)
{
	if (ParamName.empty())
		return -1;
	return DropParamFromCache(GetParamFromCache(ParamName, Filter, false));
}

void TParamMan::DeleteParam(const std::shared_ptr<TAppParam>& pParam)
{
	if (!pParam || pParam == pVoidParam())
		return;
	pParam->Delete();
	DropParamFromCache(pParam);
}

void TParamMan::DeleteParam(const std::string& ParamName, int ReadMode)
{
	DeleteParam(GetParamFromCache(ParamName, ReadMode, false));
}

void TParamMan::AddToStoreQueue(const std::shared_ptr<TAppParam>& pParam)
{
	if (!pParam || pParam == pVoidParam())
		return;
	ScopedLock lock(ToStore);
	ToStore->insert(pParam);
}

void TParamMan::SaveParams()
{
	StoreSet pending;
	{
		ScopedLock lock(ToStore);
		ToStore->swap(pending);
	}
	if (!pending.empty())
		OnStoreValues(pending);
}

size_t TParamMan::CacheSize() const
{
	ScopedLock lock(ParamList);
	return ParamList->size();
}

void TParamMan::UpdateClientID(const std::string& NewClientID, const std::string& OldClientID)
{
	if (NewClientID == OldClientID)
		return;
	std::vector<std::shared_ptr<TAppParam>> moving;
	{
		ScopedLock lock(ParamList);
		for (const auto& entry : &ParamList)
		{
			if (entry.second->GetRawDomain() == OldClientID)
				moving.push_back(entry.second);
		}
	}
	// The replacements are built outside the cache lock (they take parameter locks).
	std::vector<std::pair<std::shared_ptr<TAppParam>, std::shared_ptr<TAppParam>>> replaced;
	for (const auto& old : moving)
	{
		auto fresh = std::make_shared<TAppParam>(old->Name(), NewClientID, this);
		fresh->Load(*old);
		fresh->QuietSave = old->QuietSave.load();
		fresh->AddListenersOf(*old);
		replaced.emplace_back(old, fresh);
	}
	for (const auto& pair : replaced)
	{
		bool wasQueued = false;
		{
			ScopedLock cacheLock(ParamList);
			{
				ScopedLock storeLock(ToStore);
				wasQueued = ToStore->erase(std::weak_ptr<TAppParam>(pair.first)) != 0;
			}
			const auto range = ParamList->equal_range(pair.first->Name());
			for (auto it = range.first; it != range.second; ++it)
			{
				if (it->second == pair.first)
				{
					ParamList->erase(it);
					break;
				}
			}
		}
		if (TryAddParamToCache(pair.second, true) && wasQueued)
			AddToStoreQueue(pair.second);
	}
}

// ---- limits and restrictions

void TParamMan::LoadLimits(const ParameterRuleset& rules)
{
	Limits() = rules;
	// Matching entries are collected under the cache lock and changed after it (lock order).
	std::vector<std::pair<std::shared_ptr<TAppParam>, ParameterRule>> updates;
	{
		ScopedLock lock(ParamList);
		for (const auto& rule : rules)
		{
			const JsonPathPattern& pattern = rule.first;
			if (pattern.IsEmpty() || !pattern.First().IsName())
				continue;
			const bool any = pattern.First().Name() == "*";
			auto it = any ? ParamList->begin() : ParamList->lower_bound(pattern.First().Name());
			for (; it != ParamList->end(); ++it)
			{
				if (pattern.Match(JsonPath(it->first)))
					updates.emplace_back(it->second, rule.second);
				else if (!any)
					break;
			}
		}
	}
	for (const auto& update : updates)
	{
		ScopedLock lock(update.first.get());
		update.first->SetRule(update.second);
	}
}

void TParamMan::SetRestriction(EParameterRestrictions restriction, bool state)
{
	const int64_t bits = restriction._to_integral();
	int64_t current = mRestrictions.load();
	int64_t next;
	do
	{
		if (state)
			next = current | bits;
		else
			next = (current & bits) != 0 ? (current & ~bits) : current;
		if (next == current)
			return;
	} while (!mRestrictions.compare_exchange_weak(current, next));
	OnRestrictionStateChanged(static_cast<long>(next));
}

DelegateHandle TParamMan::AddRestrictionListener(const std::function<void(long)>& listener, bool triggerImmediately)
{
	DelegateHandle handle = OnRestrictionStateChanged.bind(listener);
	if (triggerImmediately && listener)
		listener(static_cast<long>(mRestrictions.load()));
	return handle;
}

void TParamMan::RebootOnParam(const std::string& param_name)
{
	int mask = 0;
	const std::string own = ClientID();
	{
		ScopedLock lock(ParamList);
		const auto range = ParamList->equal_range(param_name);
		for (auto it = range.first; it != range.second; ++it)
			mask |= it->second->Domain(own);
	}
	ScopedLock lock(RebootParams);
	(&RebootParams)[param_name] = mask;
}

void TParamMan::OnStoredValueChanged(const std::string& ParamName, ParameterDomain domain)
{
	bool reboot = false;
	{
		ScopedLock lock(RebootParams);
		const auto it = RebootParams->find(ParamName);
		if (it == RebootParams->end())
			return;
		if ((it->second & domain) != 0)
			reboot = true;
		else
			it->second |= domain;
	}
	if (reboot)
		OnRebootRequired();
}

void TParamMan::PrintParamList()
{
	const std::string separator(150, '=');
	KEL_LOG(LogParams, logs::Normal, " #  : %-40s | %-15s | %-6s | %-42s | %-40s | %s", "Name", "Domain", "Restr.",
	        "Value", "Caption", "Description");
	KEL_LOG(LogParams, logs::Normal, "%s", separator.c_str());
	{
		ScopedLock lock(ParamList);
		int index = 0;
		for (const auto& entry : &ParamList)
		{
			const TAppParam& param = *entry.second;
			std::string value = param.Value();
			if (value.size() > 40)
				value = value.substr(0, 37) + "...";
			value = "\"" + value + "\"";
			KEL_LOG(LogParams, logs::Normal, "%-4d: %-40s | %-15s | %-6ld | %-42s | %-40s | %s", index++,
			        param.Name().c_str(), param.GetRawDomain().c_str(), static_cast<long>(param.Rule().Restriction),
			        value.c_str(), param.Caption().c_str(), param.Description().c_str());
		}
	}
	KEL_LOG(LogParams, logs::Normal, "%s", separator.c_str());
	KEL_LOG(LogParams, logs::Normal, "# od data instances: %lu",
	        static_cast<unsigned long>(ParameterData::GetNumInstances()));
	KEL_LOG(LogParams, logs::Normal, "%s", separator.c_str());
}

// ---- back-end defaults

Parameter TParamMan::OnRequestValue(const std::string& UserAddress, const std::string& ParamName)
{
	KEL_LOG(LogParams, logs::Debug, "(unimplemented) Requested value for parameter %s of %s", ParamName.c_str(),
	        UserAddress.c_str());
	return Parameter();
}

void TParamMan::OnStoreValue(TAppParam& toStoreParam, EParamSaveMode saveMode, bool bSync)
{
	(void)saveMode;
	(void)bSync;
	KEL_LOG(LogParams, logs::Debug,
	        "(unimplemented) Requested store for parameter\n%s = '%s' with\ncaption = '%s'\ndescription = '%s'",
	        toStoreParam.Name().c_str(), toStoreParam.Value().c_str(), toStoreParam.Caption().c_str(),
	        toStoreParam.Description().c_str());
}

void TParamMan::OnDeleteValue(const TAppParam& toDeleteParam)
{
	KEL_LOG(LogParams, logs::Debug, "(unimplemented) Requested deletetion of parameter %s",
	        toDeleteParam.Name().c_str());
}

void TParamMan::OnStoreValues(const StoreSet& params)
{
	if (!params.empty())
		KEL_LOG(LogParams, logs::Debug, "(unimplemented) Requested store of param list (%lu). Will do nothing!",
		        static_cast<unsigned long>(params.size()));
}
} // namespace rtfwk_sdl2
