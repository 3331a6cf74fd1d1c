#include "support/build_paths.h"

const char* const TestProgram = STASHWICK_BINARY;
const char* const TestProbeDir = STASHWICK_PROBE_DIR;
const char* const TestAnswerModule = STASHWICK_ANSWER_MODULE;
const char* const TestMarkerModule = STASHWICK_MARKER_MODULE;
const char* const TestGioModuleDir = STASHWICK_GIO_MODULE_DIR;
const char* const TestFakePortal = STASHWICK_FAKE_PORTAL;
