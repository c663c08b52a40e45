/* The test DLLs exist for their resources; they need one function to be a module at all. */
__declspec(dllexport) int VerinfoStub(void) { return 0; }
