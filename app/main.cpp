// quillmoor: fast-mode batches run here; the window and everything that needs the browser engine
// run in quillmoor-window, which this program becomes (exec) for them. Kept apart so that a
// script's batch loads neither Qt's widgets nor the browser engine: with them a batch of small
// files took a fifth longer and more than twice the memory.
#include "BatchMode.h"
#include "CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

namespace {

#ifndef QUILLMOOR_NO_GUI
// The folder this executable lies in, from the kernel (argv[0] may be a bare name found on PATH).
std::string executableFolder()
{
    std::string path(4096, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= path.size())
        return {};
    path.resize(static_cast<std::size_t>(length));
    return path.substr(0, path.rfind('/'));
}

// Becomes quillmoor-window with the same arguments: the one beside this executable (a build
// folder), else the installed one. Returns only when neither can be started.
int becomeWindowProgram(char *argv[])
{
    const std::string folder = executableFolder();
    const std::string candidates[] = {folder + "/quillmoor-window",
                                      folder + "/" QUILLMOOR_WINDOW_PROGRAM_FOLDER "/quillmoor-window"};
    int error = ENOENT;
    for (const std::string &program : candidates) {
        if (folder.empty() || access(program.c_str(), X_OK) != 0)
            continue;
        argv[0] = const_cast<char *>(program.c_str());
        execv(program.c_str(), argv);
        error = errno;
    }
    std::fprintf(stderr, "quillmoor: cannot start the window program %s: %s\n", candidates[1].c_str(),
                 std::strerror(error));
    return 127;
}
#endif

} // namespace

int main(int argc, char *argv[])
{
    using namespace CommandLine;
    if (helpWanted(argc, argv))
        return printUsage();
#ifndef QUILLMOOR_NO_GUI
    if (hasOption(argc, argv, "--batch") && !hasOption(argc, argv, "--harvest") && !pageModeWanted(argc, argv))
        return runFastBatch(argc, argv);
    return becomeWindowProgram(argv);
#else
    if (hasOption(argc, argv, "--batch"))
        return runFastBatch(argc, argv);
    std::fputs("quillmoor: this build has no window and no browser; use --batch (fast mode)\n", stderr);
    std::fputs(batchUsage().toUtf8().constData(), stderr);
    return 2;
#endif
}
