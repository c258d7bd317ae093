// run-bench: measures the library against baselines in the same run and prints
// one table; the exit status is 1 when a target is missed.
//
//   run-bench                  every row, full sizes
//   run-bench --smoke          tiny sizes, one repetition, targets not enforced
//   run-bench --repetitions=N  repetitions per side (default 7)
//   run-bench --verbose        every repetition's numbers as it ends
//   run-bench --filter=TEXT[,TEXT...]  only the rows whose figure contains a TEXT (any case)
//   run-bench --list           every row's figure and baseline
//   --benchmark_filter=REGEX and the other Google Benchmark flags pass through.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "Rows.h"

int main(int argc, char** argv) {
    if (argc >= 3 && std::strcmp(argv[1], "--resident-probe") == 0)
        return bench::RunResidentProbe(argv[2], std::vector<std::string>(argv + 3, argv + argc));
    if (argc == 4 && std::strcmp(argv[1], "--plain-send") == 0) return bench::RunPlainSend(argv[2], argv[3]);

    bench::Config config;
    bool list = false;
    std::vector<std::string> flags{argv[0], "--benchmark_enable_random_interleaving=true"};
    std::vector<std::string> passed;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--smoke") {
            config.smoke = true;
        } else if (arg == "--verbose") {
            config.verbose = true;
        } else if (arg == "--list") {
            list = true;
        } else if (arg.rfind("--filter=", 0) == 0) {
            std::stringstream texts(arg.substr(std::strlen("--filter=")));
            for (std::string text; std::getline(texts, text, ',');)
                if (!text.empty()) config.filter.push_back(text);
        } else if (arg.rfind("--repetitions=", 0) == 0) {
            config.repetitions = std::atoi(arg.c_str() + std::strlen("--repetitions="));
            if (config.repetitions < 1) {
                std::cerr << "run-bench: --repetitions needs a number of at least 1\n";
                return 2;
            }
        } else {
            passed.push_back(arg);
        }
    }
    flags.push_back("--benchmark_min_time=" + std::string(config.smoke ? "0.01" : "0.2"));
    flags.insert(flags.end(), passed.begin(), passed.end());  // the caller's flags win
    std::vector<char*> pointers;
    for (std::string& flag : flags)
        pointers.push_back(flag.data());
    int count = static_cast<int>(pointers.size());
    benchmark::Initialize(&count, pointers.data());
    if (benchmark::ReportUnrecognizedArguments(count, pointers.data())) return 2;

    bench::Suite suite(config);
    bench::AddNetworkRows(suite);
    bench::AddSerialRows(suite);
#if defined(QUENVAR_BENCH_PARALLEL)
    bench::AddParallelRows(suite);
#endif
    bench::AddToolRows(suite);
    bench::AddUsbRows(suite);
    bench::AddJavaRows(suite);
    bench::AddPythonRows(suite);
    bench::AddStressRows(suite);
    if (list) {
        suite.list(std::cout);
        return 0;
    }
    const int status = suite.run(std::cout, std::cerr);
    benchmark::Shutdown();
    return status;
}
