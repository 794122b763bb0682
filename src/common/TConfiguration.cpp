#include "common/TConfiguration.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace
{
std::string Quoted(const fs::path& path)
{
	return "\"" + path.string() + "\"";
}

[[noreturn]] void ThrowSaveError(const fs::path& filename, int error)
{
	throw ConfigError("Can't save configuration file " + Quoted(filename) + ": " +
	                  std::error_code(error, std::generic_category()).message());
}

bool WriteAll(int fd, const std::string& text)
{
	const char* data = text.data();
	size_t left = text.size();
	while (left > 0)
	{
		const ssize_t written = ::write(fd, data, left);
		if (written < 0)
		{
			if (errno == EINTR)
				continue;
			return false;
		}
		data += written;
		left -= static_cast<size_t>(written);
	}
	return true;
}

// Writes text to a new file beside target and renames it over target, so that readers see the old
// file or the new one and never a truncated mix. Keeps the old file's permission bits.
void ReplaceFile(const fs::path& filename, const std::string& text)
{
	std::error_code ec;
	fs::path target = filename;
	// Replace what a link points to, not the link.
	if (fs::is_symlink(filename, ec))
	{
		const fs::path resolved = fs::weakly_canonical(filename, ec);
		if (!ec)
			target = resolved;
	}
	const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");

	static std::atomic<unsigned> counter{0};
	std::string temp;
	int fd = -1;
	for (int attempt = 0; attempt < 100 && fd < 0; ++attempt)
	{
		const auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
		temp = (folder / ("." + target.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
		                  std::to_string(counter.fetch_add(1)) + "-" + std::to_string(ticks % 1000000)))
		           .string();
		fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
		if (fd < 0 && errno != EEXIST)
			ThrowSaveError(filename, errno);
	}
	if (fd < 0)
		ThrowSaveError(filename, EEXIST);

	struct stat old = {};
	bool bOk = true;
	int error = 0;
	if (::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode) && ::fchmod(fd, old.st_mode & 07777) != 0)
		bOk = false;
	if (bOk && !(WriteAll(fd, text) && ::fsync(fd) == 0))
		bOk = false;
	if (!bOk)
		error = errno;
	if (::close(fd) != 0 && bOk)
	{
		bOk = false;
		error = errno;
	}
	if (bOk && ::rename(temp.c_str(), target.c_str()) != 0)
	{
		bOk = false;
		error = errno;
	}
	if (!bOk)
	{
		::unlink(temp.c_str());
		ThrowSaveError(filename, error);
	}
}
} // namespace

void TConfiguration::OnConfigLoaded(const fs::path& /*filename*/)
{
}

void TConfiguration::OnConfigChanged(const JsonPath& /*nodePath*/, const Json::Value& /*value*/)
{
}

void TConfiguration::LoadConfiguration(const fs::path& fileN, ESchemaScopeType scope)
{
	std::error_code ec;
	const fs::file_status status = fs::status(fileN, ec);
	if (status.type() == fs::file_type::not_found)
		throw ConfigError("Configuration file " + Quoted(fileN) + " doesn't exist!");
	const std::string cantOpen = "Can't open file " + Quoted(fileN) + ", but it does exist (permissions maybe?)";
	// A folder opens like a file and then reads as empty.
	if (status.type() == fs::file_type::directory)
		throw ConfigError(cantOpen);
	std::ifstream in(fileN, std::ios::binary);
	if (!in)
		throw ConfigError(cantOpen);
	std::string text;
	char buffer[65536];
	while (in.read(buffer, sizeof(buffer)) || in.gcount() > 0)
		text.append(buffer, static_cast<size_t>(in.gcount()));
	if (in.bad())
		throw ConfigError(cantOpen);

	// The default features accept comments.
	Json::Reader reader;
	Json::Value document;
	bool bParsed = false;
	try
	{
		bParsed = reader.parse(text.data(), text.data() + text.size(), document, false);
	}
	catch (const Json::Exception& e)
	{
		// Nesting deeper than the reader allows.
		throw ConfigError(e.what());
	}
	const std::string errors = reader.getFormattedErrorMessages();
	if (!bParsed || !errors.empty())
		throw ConfigError(errors);
	LoadSubconfiguration(document, fileN, scope);
}

void TConfiguration::LoadSubconfiguration(const Json::Value& config, const fs::path& fileN, ESchemaScopeType scope)
{
	// Copies: either may live inside this store.
	const fs::path path = fileN;
	mSettings = Json::Value(config);
	mSettingsPath = path;
	mSettings = GetSchema().GenerateConfig(mSettings, scope);
	OnConfigLoaded(path);
}

void TConfiguration::LoadSubconfigurationUnchecked(const Json::Value& config, const fs::path& fileN)
{
	mSettings = Json::Value(config);
	mSettingsPath = fs::path(fileN);
}

void TConfiguration::Save(const fs::path& filename) const
{
	ReplaceFile(filename, SaveToString());
}

std::string TConfiguration::SaveToString() const
{
	Json::StreamWriterBuilder builder;
	builder["indentation"] = "\t";
	builder["commentStyle"] = "All";
	builder["dropNullPlaceholders"] = false;
	builder["useSpecialFloats"] = true;
	// Bytes as they are: escaping goes through UTF-8 decoding, which turns invalid sequences into
	// U+FFFD and so would change strings on the way to the file.
	builder["emitUTF8"] = true;
	return Json::writeString(builder, mSettings);
}

void TConfiguration::ResetToDefault()
{
	const Json::Value blank = GetSchema().GenerateBlankConfig(ESchemaScopeType::Default);
	try
	{
		LoadSubconfiguration(blank, fs::path(), ESchemaScopeType::Default);
	}
	catch (const SchemaError&)
	{
		// The blank document stays, with nulls where required settings have no default.
	}
}

void TConfiguration::Clear()
{
	mSettings = Json::Value();
	mSettingsPath.clear();
}

bool TConfiguration::ConfigExists(const JsonPath& nodePath) const
{
	return nodePath.Resolve(mSettings) != nullptr;
}

Json::Value TConfiguration::GetConfig(const JsonPath& configPath) const
{
	if (const Json::Value* node = configPath.Resolve(mSettings))
		return *node;
	try
	{
		return GetSchema().GetMember(configPath).Default();
	}
	catch (const SchemaError& e)
	{
		throw ConfigError(e.what());
	}
}

Json::Value TConfiguration::GetConfigOptional(const JsonPath& path, const Json::Value& defaultValue) const
{
	if (const Json::Value* node = path.Resolve(mSettings))
		return *node;
	if (GetSchema().IsMember(path))
	{
		const Json::Value& schemaDefault = GetSchema().GetMember(path).Default();
		if (!schemaDefault.isNull())
			return schemaDefault;
	}
	return defaultValue;
}

void TConfiguration::SetConfig(const JsonPath& configName, const Json::Value& value)
{
	if (!mSettings.isNull() && !mSettings.isObject())
		throw ConfigError("Could not set config because settings aren't a valid object!", value);
	// Made on a copy: a path that fails half-way must not leave new containers behind.
	Json::Value updated = mSettings;
	try
	{
		configName.Make(updated) = value;
	}
	catch (const JsonPathError& e)
	{
		throw ConfigError(e.what(), value);
	}
	mSettings.swap(updated);
	OnConfigChanged(configName, value);
}

void TConfiguration::RemoveConfig(const JsonPath& configPath)
{
	if (!mSettings.isObject())
		throw ConfigError("Could not remove config because settings aren't a valid object!");
	if (configPath.Erase(mSettings))
		OnConfigChanged(configPath, Json::Value());
}
