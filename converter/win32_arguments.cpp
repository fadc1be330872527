// Read by the MinGW-w64 start-up code: the C runtime hands arguments such as
// *.txt to main as typed instead of expanding them to the matching names.
extern "C" {
int _dowildcard = 0;
}
