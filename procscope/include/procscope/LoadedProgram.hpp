// A direct run of the dynamic loader ("ld-linux-x86-64.so.2 ./prog", or a
// copy of the loader under any name): the exec is the loader's, and the
// program it runs is only named among its arguments and mapped a moment
// later. This unit answers which program such a process runs, so that it can
// be judged as a run of that program.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "procscope/Binary.hpp"
#include "procscope/ExecutableSite.hpp"

namespace procscope {

class Process;

// The program a loader run directly was given.
struct LoadedProgram {
  std::optional<std::string> path;  // text, for comparing and showing; always set
  std::shared_ptr<Binary> binary;
  // Seen among the files the process has mapped. When the loader has not
  // mapped it yet, the program is the file its name resolved to, or, when
  // the name resolved to nothing, the name alone.
  bool confirmed = false;
  // When the loader has mapped other files but not that one (the name led
  // elsewhere when the loader followed it), the program is one of these:
  // each file mapped then, the loader's own left out.
  std::vector<LoadedProgram> mappedInstead;
};

namespace loader {

// Whether an ELF image (a file's leading bytes) is a dynamic loader: a shared
// object with no interpreter of its own whose DT_SONAME is a glibc or musl
// loader's. None when the bytes end before the answer.
std::optional<bool> isLoaderImage(std::string_view image);

// The interpreter (PT_INTERP) an ELF image names; none when it names none
// or the bytes end before it.
std::optional<std::string> interpreterOf(std::string_view image);

// The index in `argv` (argv[0] the loader's own name) of the program the
// loader is told to run, after the loader's own options; none when it runs
// none (only options, --version). Options it does not know are passed over
// as flags: a newer loader's flag must not hide the program behind it.
std::optional<std::size_t> programArgument(const std::vector<std::string>& argv);

// One file mapped into a process, from a line of /proc/<pid>/maps.
struct MappedFile {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint64_t inode = 0;
  std::string path;  // bytes, as the kernel writes them (newlines escaped)
};
// The distinct files of a /proc/<pid>/maps text, in the order first seen;
// anonymous and special mappings (inode 0) are left out.
std::vector<MappedFile> mappedFiles(std::string_view maps);

}  // namespace loader

// A loader's program learnt after the deadline, on the pool's thread.
using LateLoadedProgram = std::function<void(std::shared_ptr<const LoadedProgram>)>;

// The program `process` runs when its executable is a dynamic loader run
// directly; none otherwise (and for every ordinary exec, at the cost of one
// lookup while its Binary is remembered). Reads the process's arguments, and
// resolves and confirms its program on the bounded inspection pool, looking
// again for up to 2 ms while nothing is mapped yet.
//
// Whatever is not answered in time is answered late, with `late`: when the
// question whether the file is a loader misses the deadline, none is
// returned and `late` gets the program once the file is found to be a
// loader; when only the program's lookup does, the program as its name
// gives it is returned and `late` gets the one found. A user who keeps the
// inspection threads busy delays the judgement of a loader run, never
// cancels it. With `executed` (the file the process runs, as its exec left
// it), the system's own loader is known at once, with no read.
std::shared_ptr<const LoadedProgram> findLoadedProgram(
    const Process& process, const LateLoadedProgram& late = {},
    const std::optional<FileIdentity>& executed = std::nullopt);

}  // namespace procscope
