# Installs the Debian packages named as arguments that are not installed yet.
install_missing_packages() {
  local missing=()
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# What building and testing the agent needs (libqt6svg6 draws the window's
# icon; locales builds the locales the tests run the window agent in).
BUILD_PACKAGES=(g++ cmake ninja-build ccache libgtest-dev libgmock-dev libbenchmark-dev locales
  qt6-base-dev libgl-dev libqt6svg6)

# What scripts/screenshots needs: a virtual X display, a window manager for
# the title bars, keyboard and mouse input, a screen grabber, and an echo peer.
SCREENSHOT_PACKAGES=(xvfb xauth openbox xdotool imagemagick socat)

# What scripts/windows needs to cross-build the Windows programs and pack them
# (the zip, and the MSI installer that wixl builds; windmc, for the service's
# event texts, comes with the compiler's binutils).
WINDOWS_PACKAGES=(cmake ninja-build ccache g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  libgtest-dev zip wixl)
# What it needs besides to run the Windows tests: wine, a virtual display for
# the status window, the Russian locale it is tested in, and a native build of
# the test harness that drives kiv-agentd.exe under it; the installer's test
# unpacks the zip and reads the programs' resources.
WINE_TEST_PACKAGES=(wine wine64 xvfb xauth locales g++ libgtest-dev unzip binutils e2fsprogs)
