// The --config option that every program of the platform takes first.
#pragma once

namespace localplatform {

// When argv[first] is "--config FILE", makes FILE the platform configuration
// of this process (through QUELLIX_CONFIG, which PlatformConfig::Current()
// reads) and returns the index after it; otherwise returns first. A
// "--config" without its FILE is left for the caller to refuse as bad usage.
int TakeConfigOption(int argc, char** argv, int first = 1);

}  // namespace localplatform
