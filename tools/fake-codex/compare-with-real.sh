#!/usr/bin/env bash
# Runs the same exchanges against the fake runtime and against a real Codex runtime, each in a fresh,
# signed-out CODEX_HOME with the executor's arguments and clean environment, and shows the difference
# for a person to judge. Nothing here is run by the tests.
#
#   tools/fake-codex/compare-with-real.sh [--with-network] FAKE REAL
#
# FAKE is the built fake (<build>/tools/fake-codex/codex); REAL a real runtime installed by hand, e.g.
# `npm install -g @openai/codex` and then `command -v codex`. Identifiers, times and the home path are
# normalised. Takes about a minute.
#
# The exchanges that make the real runtime reach OpenAI's servers (a device-code sign-in start and a
# one-shot run) are left out unless --with-network is given; the others stay on the machine.
set -euo pipefail

with_network=false
if [[ ${1:-} == --with-network ]]; then
  with_network=true
  shift
fi
if [[ $# -ne 2 ]]; then
  echo "usage: $0 [--with-network] FAKE-CODEX REAL-CODEX" >&2
  exit 2
fi
fake=$1
real=$2
out=$(mktemp -d "${TMPDIR:-/tmp}/codex-compare-XXXXXX")
trap 'rm -rf "$out/homes"' EXIT

overrides() {
  local work=$1
  local pairs=(
    'cli_auth_credentials_store="keyring"' 'forced_login_method="chatgpt"' 'model_provider="corvane-openai"'
    'model_reasoning_effort="low"' 'approval_policy="never"' 'web_search="disabled"'
    features.shell_tool=false features.unified_exec=false features.shell_snapshot=false features.hooks=false
    features.apps=false features.plugins=false features.image_generation=false features.tool_suggest=false
    features.multi_agent=false features.remote_plugin=false features.skill_mcp_dependency_install=false
    project_doc_max_bytes=0 'history.persistence="none"' analytics.enabled=false check_for_update_on_startup=false
    'model_providers.corvane-openai.name="OpenAI"' model_providers.corvane-openai.requires_openai_auth=true
    model_providers.corvane-openai.request_max_retries=0 model_providers.corvane-openai.stream_max_retries=0
    "log_dir=\"$work/logs\"" "sqlite_home=\"$work/state\"" 'mcp_servers={}' 'plugins={}')
  for pair in "${pairs[@]}"; do printf '%s\0%s\0' -c "$pair"; done
}

# The lines sent, one exchange per line; "--" pauses to collect what arrived.
requests=(
  '{"id":0,"method":"account/read","params":{"refreshToken":false}}'
  '{"id":1,"method":"initialize","params":{"clientInfo":{"name":"corvane_local","version":"0.1.0"}}}'
  '{"method":"initialized","params":{}}'
  '{"id":"s1","method":"initialize","params":{"clientInfo":{"name":"corvane_local","version":"0.1.0"}}}'
  '{"id":2,"method":"account/frobnicate","params":{}}'
  '{"id":3,"method":"account/read"}'
  '{"id":4,"method":"account/login/start","params":{"type":"bogus"}}'
  '{"id":5,"method":"account/login/cancel","params":{}}'
  '{"id":6,"method":"account/login/cancel","params":{"loginId":"not-a-uuid"}}'
  '{"id":7,"method":"account/login/cancel","params":{"loginId":"123e4567-e89b-42d3-a456-426614174000"}}'
  'this is not json'
  '{"id":8,"method":"account/read","params":{"refreshToken":false}}'
  '{"id":9,"method":"account/rateLimits/read"}'
  '{"id":11,"method":"account/logout","params":{}}'
)
if $with_network; then
  requests=("${requests[@]:0:${#requests[@]}-1}"
    '{"id":10,"method":"account/login/start","params":{"type":"chatgptDeviceCode"}}'
    '{"id":11,"method":"account/logout","params":{}}')
fi

normalise() {
  sed -E \
    -e 's/[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}/<uuid>/g' \
    -e 's/"emittedAtMs":[0-9]+/"emittedAtMs":<ms>/g' \
    -e "s#$1/(fake|real)#<home>#g" \
    -e 's/"serverName":"[^"]*"/"serverName":<host>/g' \
    -e 's/"userCode":"[^"]*"/"userCode":<code>/g'
}

run_app_server() {
  local codex=$1 name=$2 home="$out/homes/$2" work="$out/homes/$2-work"
  mkdir -p "$home" "$work"
  chmod 700 "$home" "$work"
  printf 'cli_auth_credentials_store = "keyring"\n[analytics]\nenabled = false\n' >"$home/config.toml"
  local args=()
  mapfile -d '' args < <(overrides "$work")
  coproc RUNTIME {
    cd "$work" && exec env -i PATH="$PATH" HOME="${HOME:-/}" LANG="${LANG:-C.UTF-8}" TMPDIR="${TMPDIR:-/tmp}" \
      CODEX_HOME="$home" "$codex" app-server --listen stdio:// "${args[@]}" 2>"$out/$name-app-server.err"
  }
  local line
  for request in "${requests[@]}"; do
    printf '>> %s\n' "$request"
    printf '%s\n' "$request" >&"${RUNTIME[1]}"
    while IFS= read -r -t 2 line <&"${RUNTIME[0]}"; do printf '%s\n' "$line"; done || true
  done
  exec {RUNTIME[1]}>&-
  kill "$RUNTIME_PID" 2>/dev/null || true
  wait "$RUNTIME_PID" 2>/dev/null || true
}

run_exec() {
  local codex=$1 name=$2 home="$out/homes/$2-exec" work="$out/homes/$2-exec-work"
  mkdir -p "$home" "$work"
  chmod 700 "$home" "$work"
  printf 'cli_auth_credentials_store = "keyring"\n[analytics]\nenabled = false\n' >"$home/config.toml"
  local args=()
  mapfile -d '' args < <(overrides "$work")
  local status=0
  (cd "$work" && env -i PATH="$PATH" HOME="${HOME:-/}" LANG="${LANG:-C.UTF-8}" TMPDIR="${TMPDIR:-/tmp}" \
    CODEX_HOME="$home" timeout 30 "$codex" exec --ignore-user-config --ignore-rules --ephemeral \
    --skip-git-repo-check --sandbox read-only --json --color never --cd "$work" --model gpt-5.6-luna "${args[@]}" \
    "Reply with exactly OK. Do not use any tools." </dev/null 2>"$out/$name-exec.err") || status=$?
  echo "exit status: $status"
  echo "stderr:"
  sed 's/^/  /' "$out/$name-exec.err"
}

for side in fake real; do
  codex=$fake
  [[ $side == real ]] && codex=$real
  {
    echo "# $("$codex" --version 2>&1 | head -1)"
    run_app_server "$codex" "$side"
    if $with_network; then
      echo "# exec"
      run_exec "$codex" "$side"
    fi
  } 2>&1 | normalise "$out/homes" >"$out/$side.txt"
done

echo "Transcripts: $out/fake.txt and $out/real.txt"
diff -u "$out/fake.txt" "$out/real.txt" && echo "No difference."
