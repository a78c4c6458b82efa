// A stand-in for a broken veltrax-place.exe, for the test that the
// verification kit reports failures: it takes any option and does nothing.
int main() { return 0; }
