# Shared by the scripts: the Debian packages the project builds and runs with.
RIZU_PACKAGES=(build-essential cmake pkg-config apache2-bin apache2-dev libapr1-dev libaprutil1-dev
  libgtest-dev python3 curl nghttp2-client clang-14 libclang-rt-14-dev chromium fonts-wqy-microhei
  apache2 debhelper dpkg-dev lintian)

need_packages() {
  local missing=()
  for p in "${RIZU_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}
