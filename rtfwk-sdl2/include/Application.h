#pragma once
// The process entry of a framework application: main() returns mainMethod<App>(argc, argv).

#include "Signals.h"
#include "TApplication.h"

#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace rtfwk_sdl2
{
// Blocks the main thread while the signal thread ends the process; bounded, in case it cannot.
void WaitForSignalExit();

template <class T>
int mainMethod(int argc, const char** argv)
{
	RegisterSignalHandlers();
	int result = -1;
	bool ran = false;
	std::unique_ptr<T> app;
	try
	{
		app = std::make_unique<T>();
		pApp = app.get();
		std::vector<std::string> args;
		for (int i = 1; i < argc; ++i)
			args.emplace_back(argv[i]);
		result = app->Init(args) != 0 ? -2 : 0;
	}
	catch (const std::exception& e)
	{
		KEL_LOG(LogApp, logs::Critical, "Unhadled exception occoured while loading application: %s", e.what());
		result = -3;
	}
	if (result == 0)
	{
		try
		{
			result = app->Run();
			ran = true;
		}
		catch (const std::exception& e)
		{
			KEL_LOG(LogApp, logs::Critical, "Unhadled exception occoured while running application: %s", e.what());
			result = -4;
		}
	}
	if (ran)
		app->waitForStatus(TApplication::APP_TERMINATE);
	// A signal ends the process from the signal thread, without this routine's teardown.
	if (SignalShutdownInProgress())
		WaitForSignalExit();
	if (app)
	{
		app->Destroy();
		app.reset();
	}
	if (result != 0)
		KEL_LOG(LogApp, logs::Critical, "========== APP EXITED WITH FAILURE (%d) ==========", result);
	else
		KEL_LOG(LogApp, logs::Important, "========== APP EXITED SUCCESSFULLY ==========");
	return result;
}
} // namespace rtfwk_sdl2
