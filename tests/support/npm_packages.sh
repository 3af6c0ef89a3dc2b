# Sourced by the test scripts that run npm packages under Node.

# node_and_npm_missing MIN-MAJOR
#   Prints why Node (of at least version MIN-MAJOR) and npm cannot be used;
#   fails (status 1) when they can.
node_and_npm_missing() {
  if ! command -v node > /dev/null 2>&1; then
    echo "node is not installed (scripts/install-deps.sh installs it)"
  elif ! command -v npm > /dev/null 2>&1; then
    echo "npm is not installed (scripts/install-deps.sh installs it)"
  elif [ "$(node -p 'process.versions.node.split(".")[0]')" -lt "$1" ]; then
    echo "node $(node --version) is older than the packages need ($1)"
  else
    return 1
  fi
}

# install_npm_packages SOURCE-DIR WORK-DIR LABEL
#   Installs the packages of SOURCE-DIR/package-lock.json into WORK-DIR/node_modules,
#   again only when the lock file changed since. Fails (status 1) when they cannot
#   be had, leaving no half-installed folder behind.
install_npm_packages() {
  local source=$1 work=$2 label=$3
  local stamp="$work/installed-from.lock.json"
  mkdir -p "$work"
  if [ -d "$work/node_modules" ] && cmp -s "$source/package-lock.json" "$stamp"; then
    return 0
  fi
  rm -rf "$work/node_modules" "$stamp"
  cp "$source/package.json" "$source/package-lock.json" "$work/"
  echo "$label: installing the npm packages into $work/node_modules"
  if ! (cd "$work" && timeout 300 npm ci --no-audit --no-fund --loglevel=error); then
    echo "$label: npm ci failed; trying npm install"
    if ! (cd "$work" && timeout 300 npm install --no-audit --no-fund --loglevel=error); then
      rm -rf "$work/node_modules"
      return 1
    fi
  fi
  cp "$source/package-lock.json" "$stamp"
}
