// The process's standard input, output and error, made safe to use before anything else runs.
#pragma once

namespace app {

// A closed standard stream would hand its number to the next file opened (the machine's registry,
// a capture), which would then receive what was meant for the stream.  Each closed one is opened
// on /dev/null instead; a closed standard input reads as a failed stream (std::cin is bad).
// Returns false when standard output was closed (nothing could show the results) or a closed
// stream could not be opened again.
bool open_standard_streams();

}  // namespace app
