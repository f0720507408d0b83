// A version library that lacks GetClientVersion.
extern "C" const char* GetUpdateVersionUrl() { return "http://127.0.0.1/"; }
