// A process that only loads and starts libvips, then exits: the floor under
// the first detection of any program that reads pictures with libvips (its
// own libraries are loaded and relocated, and vips_init registers its types).
// Like kadro, it keeps libvips to its built-in formats: its home is a folder
// without modules. bench/speed.py times it as a whole process.
#include <stdlib.h>

#include <vips/vips8>

int main(int, char** argv) {
  setenv("VIPSHOME", "/nonexistent", 1);
  if (VIPS_INIT(argv[0])) vips_error_exit(nullptr);
  vips_shutdown();
  return 0;
}
