// Runs a fuzz target without libFuzzer: every file named on the command line, and every regular file
// in a named folder, is fed to LLVMFuzzerTestOneInput once, in name order. A crash or sanitizer
// report fails the run like any test.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv)
{
	namespace fs = std::filesystem;
	std::vector<fs::path> inputs;
	for (int i = 1; i < argc; ++i)
	{
		const fs::path arg(argv[i]);
		if (!fs::is_directory(arg))
		{
			inputs.push_back(arg);
			continue;
		}
		for (const fs::directory_entry& entry : fs::directory_iterator(arg))
		{
			if (entry.is_regular_file())
				inputs.push_back(entry.path());
		}
	}
	std::sort(inputs.begin(), inputs.end());
	if (inputs.empty())
	{
		std::cerr << "usage: " << argv[0] << " <corpus folder or file>...: no inputs found\n";
		return 1;
	}
	for (const fs::path& input : inputs)
	{
		std::ifstream file(input, std::ios::binary);
		if (!file)
		{
			std::cerr << "cannot read " << input << '\n';
			return 1;
		}
		const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
		LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
		std::cout << "replayed " << input.filename().string() << " (" << bytes.size() << " bytes)\n";
	}
	return 0;
}
