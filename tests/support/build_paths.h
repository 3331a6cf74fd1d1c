// Where this build put what the tests run: absolute paths, fixed when the
// build is configured. Only build_paths.cpp is compiled with them, so that
// every other test object is the same whatever folder the tree is in.
#pragma once

extern const char* const TestProgram;       // build/stashwick
extern const char* const TestProbeDir;      // the probes' folder
extern const char* const TestAnswerModule;  // the answer module (GTK_MODULES)
extern const char* const TestMarkerModule;  // the module that leaves a marker when loaded
extern const char* const TestGioModuleDir;  // the system's GIO modules
extern const char* const TestFakePortal;    // support/fake_portal.py
