#pragma once
// The base of every component configured from a JSON file: the component's schema (each class of
// the inheritance chain adds its own keys), the settings document and the file it came from.
//
// Declaring keys, once per class:
//
//   const JsonSchema& ServerSchema()
//   {
//       // Function-local: constructors of static objects elsewhere may need it.
//       static const JsonSchema schema({
//           {"port-wss", JsonSchema(Json::uintValue, "The port to run the server on")},
//           {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
//                           .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))}});
//       return schema;
//   }
//   WSServerBase::WSServerBase() { Schema() += ServerSchema(); }
//   void WSServerBase::OnConfigLoaded(const std::filesystem::path& filename)
//   {
//       TConfiguration::OnConfigLoaded(filename);
//       mPort = GetConfig(JsonPath("port-wss")).asUInt();
//   }
//
// Loading throws ConfigError for file-level problems (missing, unreadable, not JSON) and SchemaError
// for content that does not satisfy the schema. No lock inside: callers that change settings while
// others read them bring their own.

#include "common/JsonPath.h"
#include "common/JsonSchema.h"

#include <json/json.h>

#include <filesystem>
#include <stdexcept>
#include <string>

class ConfigError : public std::runtime_error
{
public:
	explicit ConfigError(const std::string& what, const Json::Value& context = Json::Value())
	    : std::runtime_error(what), mContext(context)
	{
	}
	// The value the failure concerns (the value being set for SetConfig), null otherwise.
	const Json::Value& Context() const { return mContext; }

private:
	const Json::Value mContext;
};

class TConfiguration
{
public:
	TConfiguration() = default;
	explicit TConfiguration(const JsonSchema& schema) : mSchema(schema) {}
	TConfiguration(const TConfiguration& copy) = default;
	TConfiguration& operator=(const TConfiguration& rhs) = default;
	virtual ~TConfiguration() = default;

	// Called after a document was loaded, validated and completed; overrides call their base first,
	// then read and apply their own keys.
	virtual void OnConfigLoaded(const std::filesystem::path& filename);
	// Called by SetConfig (with the new value) and RemoveConfig (with null).
	virtual void OnConfigChanged(const JsonPath& nodePath, const Json::Value& value);

	JsonSchema& Schema() { return mSchema; }
	const JsonSchema& GetSchema() const { return mSchema; }

	// Reads, validates and completes the file, then calls OnConfigLoaded. When validation fails the
	// settings hold the file's raw content and nothing is notified.
	void LoadConfiguration(const std::filesystem::path& fileN, ESchemaScopeType scope = ESchemaScopeType::Default);
	// The same for a document that is already parsed.
	void LoadSubconfiguration(const Json::Value& config, const std::filesystem::path& fileN,
	                          ESchemaScopeType scope = ESchemaScopeType::Default);
	// Takes the document as it is: no validation, no completion, no notification.
	void LoadSubconfigurationUnchecked(const Json::Value& config, const std::filesystem::path& fileN);
	// Writes the settings with their comments, tab-indented. The file is replaced whole or not at all
	// (written beside it, then renamed over it); throws ConfigError when it cannot be written.
	void Save(const std::filesystem::path& filename) const;
	// The text Save writes.
	std::string SaveToString() const;
	// A generated blank document; required settings without a default stay null, and then
	// OnConfigLoaded is not called.
	void ResetToDefault();
	// Null settings and an empty path; no notification.
	void Clear();

	void SetSettingsPath(const std::filesystem::path& path) { mSettingsPath = path; }
	const std::filesystem::path& SettingsPath() const { return mSettingsPath; }
	const Json::Value& RootConfigNode() const { return mSettings; }

	bool ConfigExists(const JsonPath& nodePath) const;
	// The node, else the schema's default for it (null without one); throws ConfigError when the
	// schema does not declare the path.
	Json::Value GetConfig(const JsonPath& configPath) const;
	// The node, else the schema's non-null default, else defaultValue. Never throws for missing ones.
	Json::Value GetConfigOptional(const JsonPath& path, const Json::Value& defaultValue) const;
	// Not validated and not saved. Throws ConfigError (with value as context) when the settings are
	// neither null nor an object, or the path cannot be made; the settings are then unchanged.
	void SetConfig(const JsonPath& configName, const Json::Value& value);
	// Throws ConfigError when the settings are not an object.
	void RemoveConfig(const JsonPath& configPath);

private:
	// The file the settings were loaded from; empty when none.
	std::filesystem::path mSettingsPath;
	// Null until something is loaded or set.
	Json::Value mSettings;
	// No type until a class adds to it.
	JsonSchema mSchema;
};
