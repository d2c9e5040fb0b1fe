#!/usr/bin/env bash
# Checks that includes run only downward through the layers and that two subsystems
# meet only through a declared edge. Exits 1 naming each file and include that breaks
# a rule; 0 with a one-line summary otherwise. Rules are by folder, so a new file in an
# existing folder is covered as it appears.
#
#   base/ <- platform/ <- data/ <- core/ <- subsystems <- shop/ <- frame/ <- window/, status_page/ <- app/, tools/
#
# A folder may include its own headers and those of any folder below it; a subsystem
# may include another subsystem only along an edge listed in EDGES below (acyclic).
set -euo pipefail
cd "$(dirname "$0")/.."

# Rank of each folder under src/; a folder includes only folders of lower rank (or its
# own). Subsystems share one rank and meet only through EDGES; the register side (what
# a register's own software does) sits beside them and meets none of them. Shop
# administration uses the subsystems and never the service's frame, which may use it.
declare -A RANK=(
  [base]=0 [platform]=1 [data]=2 [core]=3
  [registers]=4 [masterdata]=4 [loyalty]=4 [sales]=4 [invoices]=4
  [register_side]=4
  [shop]=5 [frame]=6 [window]=7 [status_page]=7
)
# Below this rank is the engine, which never includes a Qt header.
WINDOW_RANK=${RANK[window]}
# The programs and the benchmarks sit above everything in the engine.
declare -A OUTSIDE_RANK=([app]=8 [tools]=8 [bench]=8)

# Declared edges between subsystems: "from->to". Keep this list acyclic.
EDGES=(
  "masterdata->registers"
  "loyalty->registers"
  "sales->registers"
  "sales->loyalty"
  "invoices->registers"
)

declare -A EDGE_OK=()
for e in "${EDGES[@]}"; do EDGE_OK[$e]=1; done

violations=0
checked=0
report() {
  echo "check_layers: $1:$2: includes \"$3\": $4" >&2
  violations=$((violations + 1))
}

check_file() {
  local file=$1 from=$2 from_rank=$3
  local line_no=0 line target folder to_rank
  while IFS= read -r line || [[ -n $line ]]; do
    line_no=$((line_no + 1))
    [[ $line =~ ^[[:space:]]*#[[:space:]]*include[[:space:]]*\"([^\"]+)\" ]] || continue
    target=${BASH_REMATCH[1]}
    folder=${target%%/*}
    [[ $folder == "$target" ]] && continue          # a header beside the file
    [[ -n ${RANK[$folder]+x} ]] || continue           # not one of the engine's folders
    [[ $folder == "$from" ]] && continue
    to_rank=${RANK[$folder]}
    if ((to_rank > from_rank)); then
      report "$file" "$line_no" "$target" "$from/ sits below $folder/: includes run only downward"
    elif ((to_rank == from_rank)) && [[ -z ${EDGE_OK["$from->$folder"]+x} ]]; then
      report "$file" "$line_no" "$target" "subsystems $from/ and $folder/ meet only through a declared edge (scripts/check_layers.sh EDGES)"
    fi
  done < "$file"
  # Qt stays in the window: the engine builds and tests without a display.
  if ((from_rank < WINDOW_RANK)) && grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q[A-Za-z]*(/|>)' "$file" >/dev/null; then
    report "$file" "$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<Q' "$file" | head -1 | cut -d: -f1)" \
      "$(grep -oE '<Q[^>]*>' "$file" | head -1)" "the engine never includes a Qt header"
  fi
  checked=$((checked + 1))
}

# <sqlite3.h> stays inside the data layer's sources.
check_sqlite() {
  local file=$1
  local hit
  hit=$(grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<sqlite3\.h>' "$file" | head -1 | cut -d: -f1 || true)
  [[ -n $hit ]] && report "$file" "$hit" "sqlite3.h" "only the data layer's .cpp files include SQLite's header"
  return 0
}

while IFS= read -r -d '' file; do
  rel=${file#src/}
  from=${rel%%/*}
  [[ -n ${RANK[$from]+x} ]] || { report "$file" 0 "-" "folder src/$from/ has no layer: add it to RANK in scripts/check_layers.sh"; continue; }
  check_file "$file" "$from" "${RANK[$from]}"
  if [[ $from != data || $file == *.h ]]; then check_sqlite "$file"; fi
done < <(find src -mindepth 2 \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)

for top in "${!OUTSIDE_RANK[@]}"; do
  [[ -d $top ]] || continue
  while IFS= read -r -d '' file; do
    check_file "$file" "$top" "${OUTSIDE_RANK[$top]}"
  done < <(find "$top" \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
done

# The declared edges themselves must not form a cycle.
declare -A SEEN=()
edge_cycle() {  # depth-first from $1 looking for $2
  local node=$1 goal=$2 e
  for e in "${EDGES[@]}"; do
    [[ ${e%%->*} == "$node" ]] || continue
    local next=${e##*->}
    [[ $next == "$goal" ]] && return 0
    [[ -n ${SEEN[$next]+x} ]] && continue
    SEEN[$next]=1
    edge_cycle "$next" "$goal" && return 0
  done
  return 1
}
for e in "${EDGES[@]}"; do
  SEEN=()
  if edge_cycle "${e##*->}" "${e%%->*}"; then
    echo "check_layers: the declared edge $e closes a cycle" >&2
    violations=$((violations + 1))
  fi
done

if ((violations > 0)); then
  echo "check_layers: $violations include(s) cross the layers the wrong way ($checked files checked)" >&2
  exit 1
fi
echo "check_layers: $checked files checked, no include crosses the layers the wrong way"
