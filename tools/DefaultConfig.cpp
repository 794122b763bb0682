// Prints a complete, commented default configuration, so that a configuration file can start from
// one the system itself wrote.
//
//   serverhub-default-config                 the configuration on standard output
//   serverhub-default-config <file>          the configuration written to <file>
//   serverhub-default-config --check <file>  loads <file> as the server would; exit status 1 and the
//                                            reason when it does not load

#include "common/JsonSchema.h"
#include "common/TConfiguration.h"

#include <iostream>
#include <string>

namespace
{
// The schema whose configuration is printed: the one place to change when the components that own
// configuration keys provide their schemas.
JsonSchema ConfigurationSchema()
{
	JsonSchema schema;
	schema += JsonSchema({{"port-wss", JsonSchema(Json::uintValue, "The port to run the server on", 443, false)},
	                      {"threads", JsonSchema(Json::uintValue, "Number of HTTP listener threads to start", 1, false)
	                                      .AddConstraint(ValueLimit(ELimitType::MoreThanOrEqual, 1))}});
	return schema;
}

int Usage(const char* program)
{
	std::cerr << "usage: " << program << " [<file>] | --check <file>\n";
	return 2;
}
} // namespace

int main(int argc, char** argv)
{
	const std::string first = argc > 1 ? argv[1] : "";
	if (argc > 3 || (first == "--check" && argc != 3) || (first != "--check" && argc > 2) ||
	    (!first.empty() && first != "--check" && first[0] == '-'))
		return Usage(argv[0]);
	try
	{
		TConfiguration config(ConfigurationSchema());
		if (first == "--check")
		{
			config.LoadConfiguration(argv[2]);
			std::cout << argv[2] << ": loads\n";
			return 0;
		}
		config.ResetToDefault();
		if (!config.GetSchema().Test(config.RootConfigNode()))
			std::cerr << "note: required settings without a default are null; fill them in\n";
		if (first.empty())
			std::cout << config.SaveToString() << '\n';
		else
			config.Save(first);
		return 0;
	}
	catch (const ConfigError& e)
	{
		std::cerr << e.what() << '\n';
	}
	catch (const SchemaError& e)
	{
		std::cerr << e.what() << '\n';
	}
	return 1;
}
