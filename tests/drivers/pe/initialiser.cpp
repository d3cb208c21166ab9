// A kernel image with a global object whose constructor must run before
// DriverEntry: nothing runs it in a kernel image, so the loader refuses it.
struct Settings {
  Settings() : ports(12) {}
  int ports;
};
Settings settings;

extern "C" long DriverEntry(void*, void*) { return settings.ports == 12 ? 0 : -1; }
