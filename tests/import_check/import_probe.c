/* A DLL of our own: a program that imports it must fail the import check. */
__declspec(dllexport) int import_probe_value(void) { return 42; }
