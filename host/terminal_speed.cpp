// Kept apart: the kernel's termios2 (for custom rates) cannot share a
// translation unit with the C library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>
#include <optional>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace vrmdm {

std::optional<uint32_t> terminal_speed(int fd) {
  struct termios2 t {};
  if (ioctl(fd, TCGETS2, &t) != 0) return std::nullopt;
  return static_cast<uint32_t>(t.c_ospeed);
}

}  // namespace vrmdm
