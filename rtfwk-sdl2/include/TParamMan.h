#pragma once
// The parameter manager: named settings (TAppParam) cached by name, one entry per (name, address).
// Reads fall back from the most specific address (this installation) to the group and to
// "GLOBAL"; values may be fetched from or handed to a storage back-end through the virtual hooks,
// whose defaults store nothing and only log.
//
// Lock order, one for every path: a parameter's own lock, then the data's listener lock (held
// while listeners run), then the cache (ParamList), then the store queue (ToStore). Nothing takes
// a parameter lock or runs listeners while holding the cache, and no parameter dies under it
// (erased entries are released after unlocking). Leaf locks (a parameter's listener list, a
// data's values, the client identifier, RebootParams) are never held while calling out.

#include "Parameters.h"

#include "common/KelDelegate.h"
#include "common/Logger.h"
#include "common/RestrictionRules.h"
#include "common/ThreadSafeProperty.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <type_traits>

DECLARE_LOG_CATEGORY(LogParams, VeryVerbose);

namespace rtfwk_sdl2
{
class TActionMan;
class TParamMan;

enum EParamSaveMode
{
	FOLLOW_QUIETSAVE_RULE = 0,
	LOG_CHANGE = 1,
	DONT_LOG_CHANGE = 2
};

// Low four bits: the domains to read from; high bits: the one domain to write to, shifted by 4.
enum ParameterReadWriteMode
{
	PARAM_READ_CACHE_WRITE_CACHE = 17,
	PARAM_READ_NOCACHE_MINE_OR_GROUP_OR_GLOBAL_WRITE_GLOBAL = 46,
	PARAM_READ_NOCACHE_MINE_OR_GROUP_OR_GLOBAL_WRITE_GROUP = 78,
	PARAM_READ_NOCACHE_MINE_OR_GROUP_OR_GLOBAL_WRITE_MINE = 142,
	PARAM_READ_NOCACHE_GROUP_OR_GLOBAL_WRITE_GLOBAL = 38,
	PARAM_READ_NOCACHE_GROUP_OR_GLOBAL_WRITE_GROUP = 70,
	PARAM_READ_NOCACHE_MINE_OR_GROUP_WRITE_GROUP = 76,
	PARAM_READ_NOCACHE_MINE_OR_GROUP_WRITE_MINE = 140,
	PARAM_READ_NOCACHE_GLOBAL_WRITE_GLOBAL = 34,
	PARAM_READ_NOCACHE_GROUP_WRITE_GROUP = 68,
	PARAM_READ_NOCACHE_MINE_WRITE_MINE = 136,
	PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GLOBAL = 47,
	PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_GROUP = 79,
	PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_MINE = 143,
	PARAM_READ_MINE_OR_GROUP_OR_GLOBAL_WRITE_CACHE = 31,
	PARAM_READ_GROUP_OR_GLOBAL_WRITE_GLOBAL = 39,
	PARAM_READ_GROUP_OR_GLOBAL_WRITE_GROUP = 71,
	PARAM_READ_MINE_OR_GROUP_WRITE_GROUP = 77,
	PARAM_READ_MINE_OR_GROUP_WRITE_MINE = 141,
	PARAM_READ_GLOBAL_WRITE_GLOBAL = 35,
	PARAM_READ_GROUP_WRITE_GROUP = 69,
	PARAM_READ_MINE_WRITE_MINE = 137
};

// The highest and lowest set bit as a value; 0 for 0.
int highestOrderBit(int bits);
int lowestOrderBit(int bits);

// The manager for code that has none at hand (TAppParam::GetAddressOf, parameters built without
// one). Set by whoever owns the manager (the application); null until then.
extern std::atomic<TParamMan*> pParamMan;

class TAppParam : public Parameter, public Lockable<std::recursive_mutex>
{
public:
	using ParamChangeConsumer = std::function<bool(TAppParam*, int)>;
	using ParamChangeListener = std::function<void(TAppParam*, int)>;

	struct ListenerStruct
	{
		ParamChangeConsumer Listener;
		unsigned ID = 0;
		int Priority = 0;
	};

	// A null manager means pParamMan.
	TAppParam(const std::string& Name, const Parameter& Data, TParamMan* manager = nullptr);
	TAppParam(const std::string& Name, const std::string& ClientID, TParamMan* manager = nullptr);
	TAppParam(const std::string& Name, ParameterDomain Domain, TParamMan* manager = nullptr);
	TAppParam(const TAppParam&) = delete;
	TAppParam& operator=(const TAppParam&) = delete;

	void OnValueChanged(int changeFlag) override;
	~TAppParam() override;
	bool IsNull() const override;
	void SetValue(const std::string& Value) override { SetValue(Value, false); }

	static std::string GetAddressOf(ParameterDomain domain, const std::string& ClientID);

	const std::string& Name() const { return mName; }
	bool ReadOnly() const { return bReadOnly.load(); }
	void SetReadOnly(bool readOnly) { bReadOnly = readOnly; }
	ParameterDomain GetPreferedSaveLocation() const { return mPreferedSaveLocation.load(); }
	void SetPreferedSaveLocation(ParameterDomain domain) { mPreferedSaveLocation = domain; }
	ParameterDomain GetSaveForAllLocation() const { return mSaveForAllLocation.load(); }
	void SetSaveForAllLocation(ParameterDomain domain) { mSaveForAllLocation = domain; }

	// The shared null parameter ignores every change.
	void SetValue(const std::string& Value, bool bAndSave);
	void SetValue(int Value, bool bAndSave = false) { SetValue(std::to_string(Value), bAndSave); }
	void SetValue(int64_t Value, bool bAndSave = false) { SetValue(std::to_string(Value), bAndSave); }
	void SetValue(uint64_t Value, bool bAndSave = false) { SetValue(std::to_string(Value), bAndSave); }
	void SetValue(double Value, bool bAndSave = false) { SetValue(std::to_string(Value), bAndSave); }

	// Throws "Parameter is read only!" or "Cannot save null parameter!" as const char*.
	void Save(EParamSaveMode saveMode, bool bSync);
	int Load(const Parameter& param);
	void Update();
	void Delete();

	void Bind(const std::shared_ptr<TAppParam>& otherParam);
	void Unbind();
	std::shared_ptr<TAppParam> IsBound() const;
	ParameterDomain GetSourceDomain(const std::string& ClientID) const;
	std::string GetSourceRawDomain() const;

	unsigned AddConsumingListener(ParamChangeConsumer listener, int priority = 0);
	unsigned AddListener(ParamChangeListener listener, int priority = 0);
	void RemoveListener(unsigned ID);
	void AddListenersOf(const TAppParam& param);
	std::list<ListenerStruct> GetListeners() const;
	void TriggerListener(unsigned ID, int changeFlag);

	TParamMan* Manager() const;

	// Handed to the back-end with each save.
	std::atomic<bool> QuietSave{false};

private:
	std::shared_ptr<TAppParam> BoundSource() const;

	const std::string mName;
	std::atomic<ParameterDomain> mPreferedSaveLocation{PARAM_CACHE};
	std::atomic<ParameterDomain> mSaveForAllLocation{PARAM_GROUP};
	// Guards mListeners, pBoundTo, bBound and mLastListenerID; never held while calling out.
	mutable std::mutex mLeafMutex;
	// Descending priority; equal priorities in insertion order.
	std::list<ListenerStruct> mListeners;
	std::atomic<bool> bReadOnly{false};
	bool bParamChangedAction = false;
	std::weak_ptr<TAppParam> pBoundTo;
	// Also set when the bound parameter has died: its data is still shared.
	bool bBound = false;
	unsigned mLastListenerID = 0;
	// The creating manager, reset when it dies; empty means pParamMan.
	std::shared_ptr<const std::atomic<TParamMan*>> mOwner;
};

class TParamMan
{
public:
	using FOnRestrictionStateChanged = SimpleSyncDelegate<long>;
	using StoreSet = std::set<std::weak_ptr<TAppParam>, std::owner_less<std::weak_ptr<TAppParam>>>;
	using ParamMap = std::multimap<std::string, std::shared_ptr<TAppParam>>;

	TParamMan();
	TParamMan(const TParamMan&) = delete;
	TParamMan& operator=(const TParamMan&) = delete;
	virtual ~TParamMan();

	// The null parameter every failed look-up returns; named "NULL", no data, lives for the process.
	static const std::shared_ptr<TAppParam>& pVoidParam();

	// Where "DBParameterChanged" actions go; none means they are not generated.
	void SetActionManager(TActionMan* actionMan) { mActionMan = actionMan; }
	TActionMan* GetActionManager() const { return mActionMan.load(); }

	// Reading.
	std::shared_ptr<TAppParam> GetParam(const std::string& ParamName, int ReadMode);
	std::shared_ptr<TAppParam> GetExactParam(const std::string& ClientIP, const std::string& ParamName, int readMode);
	std::shared_ptr<TAppParam> GetParamFromCache(const std::string& ParamName, int ReadMode, bool createBoundParam);
	std::shared_ptr<TAppParam> GetExactParamFromCache(const std::string& ClientIP, const std::string& ParamName,
	                                                  int readMode, bool createBoundParam);

	// Writing.
	std::shared_ptr<TAppParam> SetParam(const std::string& ParamName, const std::string& ParamValue,
	                                    ParameterDomain StoreMode = PARAM_CACHE, const std::string& Caption = "",
	                                    const std::string& Description = "", bool Quiet = false);
	std::shared_ptr<TAppParam> SetExactParam(const std::string& ClientID, const std::string& ParamName,
	                                         const std::string& ParamValue, bool cacheOnly,
	                                         const std::string& Caption = "", const std::string& Description = "",
	                                         bool Quiet = false);
	std::shared_ptr<TAppParam> GetOrSetParam(const std::string& ParamName, const std::string& DefaultValue,
	                                         const std::string& Caption = "", const std::string& Description = "",
	                                         ParameterReadWriteMode RWMode = PARAM_READ_CACHE_WRITE_CACHE,
	                                         bool Quiet = false);
	std::shared_ptr<TAppParam> GetOrSetExactParam(const std::string& ClientID, const std::string& ParamName,
	                                              const std::string& DefaultValue, const std::string& Caption,
	                                              const std::string& Description, ParameterReadWriteMode RWMode,
	                                              bool Quiet);

	// Typed forms: the value goes through an output string stream; when that fails, the null
	// parameter comes back, as from every other failed look-up.
	template <typename T, std::enable_if_t<!std::is_convertible_v<const T&, std::string>, int> = 0>
	std::shared_ptr<TAppParam> SetParam(const std::string& ParamName, const T& ParamValue,
	                                    ParameterDomain StoreMode = PARAM_CACHE, const std::string& Caption = "",
	                                    const std::string& Description = "", bool Quiet = false)
	{
		std::string text;
		if (!FormatValue(ParamValue, text))
			return pVoidParam();
		return SetParam(ParamName, text, StoreMode, Caption, Description, Quiet);
	}
	template <typename T, std::enable_if_t<!std::is_convertible_v<const T&, std::string>, int> = 0>
	std::shared_ptr<TAppParam> GetOrSetParam(const std::string& ParamName, const T& DefaultValue,
	                                         const std::string& Caption = "", const std::string& Description = "",
	                                         ParameterReadWriteMode RWMode = PARAM_READ_CACHE_WRITE_CACHE,
	                                         bool Quiet = false)
	{
		std::string text;
		if (!FormatValue(DefaultValue, text))
			return pVoidParam();
		return GetOrSetParam(ParamName, text, Caption, Description, RWMode, Quiet);
	}

	// Environment: true when the variable did not exist.
	bool LoadParamFromEnvironment(const std::string& EnvironmentName, const std::string& AsParamName,
	                              const std::string& DefaultValue);
	bool LoadParamFromEnvironment(const std::string& EnvironmentName, const std::string& AsParamName);

	// Cache and store. The iterator form is only valid while the caller holds ParamList.
	ParamMap::iterator AddParamToCache(const std::shared_ptr<TAppParam>& pParam);
	bool AddParamToCache2(const std::shared_ptr<TAppParam>& pParam);
	int DropParamFromCache(const std::shared_ptr<TAppParam>& pParam);
	int DropParamFromCache(const std::string& ParamName, int Filter);
	void DeleteParam(const std::shared_ptr<TAppParam>& pParam);
	void DeleteParam(const std::string& ParamName, int ReadMode);
	void AddToStoreQueue(const std::shared_ptr<TAppParam>& pParam);
	void SaveParams();
	size_t CacheSize() const;

	// Identity and addresses.
	std::string ClientID() const;
	void SetClientID(const std::string& NewClientID);
	static const std::string& GetGlobalDomain();
	std::string GetGroupDomain(const std::string& ClientIP) const;
	std::string AddressOf(ParameterDomain domain, const std::string& ClientID) const;

	// Limits and restrictions.
	static ThreadSafeProperty<ParameterRuleset, std::shared_mutex>& Limits();
	ParameterRuleset GetLimits() const { return Limits().getCopy(); }
	static ParameterRule FindRule(const std::string& ParamName);
	void LoadLimits(const ParameterRuleset& rules);
	int64_t GetRestrictionState() const { return mRestrictions.load(); }
	void SetRestriction(EParameterRestrictions restriction, bool state);
	DelegateHandle AddRestrictionListener(const std::function<void(long)>& listener, bool triggerImmediately);

	void RebootOnParam(const std::string& param_name);
	void PrintParamList();

	// Storage back-end hooks; the defaults store nothing and log at Debug.
	virtual Parameter OnRequestValue(const std::string& UserAddress, const std::string& ParamName);
	virtual void OnStoreValue(TAppParam& toStoreParam, EParamSaveMode saveMode, bool bSync);
	virtual void OnDeleteValue(const TAppParam& toDeleteParam);
	virtual void OnStoreValues(const StoreSet& params);
	virtual void OnRebootRequired() {}

	// Names whose stored-value changes raise "DBParameterChanged"; fill it before creating them.
	static std::set<std::string> ParametersThatTriggerAction;

	FOnRestrictionStateChanged OnRestrictionStateChanged;
	ThreadSafeProperty<ParamMap, std::recursive_mutex> ParamList;
	ThreadSafeProperty<StoreSet, std::recursive_mutex> ToStore;
	// Name to the mask of domains whose stored-value change requires a reboot.
	ThreadSafeProperty<std::map<std::string, int>, std::mutex> RebootParams;

protected:
	friend class TAppParam;

	void UpdateClientID(const std::string& NewClientID, const std::string& OldClientID);
	// Called by a parameter whose stored value changed.
	void OnStoredValueChanged(const std::string& ParamName, ParameterDomain domain);

	template <typename T>
	static bool FormatValue(const T& value, std::string& out)
	{
		std::ostringstream stream;
		stream << value;
		if (stream.fail())
			return false;
		out = stream.str();
		return true;
	}

private:
	// Caller holds ParamList.
	std::shared_ptr<TAppParam> FindAtLocked(const std::string& ParamName, const std::string& address) const;
	// Caller holds ParamList. With boundAddress, sets it and returns true in needBound when a
	// parameter bound to the result should be made there.
	std::shared_ptr<TAppParam> FindInCacheLocked(const std::string& ClientIP, const std::string& ParamName,
	                                             int readMode, std::string* boundAddress, bool* needBound) const;
	// A new parameter at address bound to source, added to the cache (or the one a racing thread added).
	std::shared_ptr<TAppParam> MakeBound(const std::string& ParamName, const std::string& address,
	                                     const std::shared_ptr<TAppParam>& source);
	std::shared_ptr<TAppParam> GetExactParamImpl(const std::string& ClientIP, const std::string& ParamName,
	                                             int readMode, bool bSilent);
	bool TryAddParamToCache(const std::shared_ptr<TAppParam>& pParam, bool bWarnDuplicate);

	std::atomic<int64_t> mRestrictions{EParameterRestrictions::Uneditable | EParameterRestrictions::Hidden};
	mutable std::mutex mClientIDMutex;
	std::string mClientID;
	std::atomic<TActionMan*> mActionMan{nullptr};
	// Lets parameters outliving the manager notice that it is gone.
	const std::shared_ptr<std::atomic<TParamMan*>> mLifeline;
};
} // namespace rtfwk_sdl2
