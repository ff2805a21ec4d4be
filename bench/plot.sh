# shellcheck shell=bash
# Shared by bench/http/run and bench/soak/run (sourced): SVG plots drawn
# with gnuplot, in one look (terminal, size, font) for every figure.  A
# plot is a convenience beside the Markdown results, so a machine without
# gnuplot, or a gnuplot that fails, costs a line on stderr and never the
# run.  With PLOT_DIR set, a plot is also copied there (next to
# bench/RESULTS.md, say) under the name its caller gives.

# The settings every plot starts with.  "dynamic" lets the SVG scale in a
# page; the white background keeps it readable on a dark one.
plot_preamble() {
  cat <<'GP'
set terminal svg size 900,500 dynamic noenhanced font "DejaVu Sans,11" background rgb "white"
set encoding utf8
set grid ytics lc rgb "#dddddd"
set border 3
set tics nomirror
set key top left
GP
}

# True when gnuplot is there; otherwise says once, on stderr, that
# |what| is skipped.
plot_available() {
  command -v gnuplot >/dev/null 2>&1 && return 0
  echo "bench: gnuplot is missing, $1 skipped (scripts/install-deps bench)" >&2
  return 1
}

# Draws |svg| from the gnuplot commands on standard input, after the
# preamble.  On failure the half-written file is removed, so that no stale
# or broken plot is left for a reader to trust.
plot_svg() {
  local svg="$1" log="$1.log"
  if { plot_preamble; printf 'set output "%s"\n' "$svg"; cat; } |
    gnuplot >"$log" 2>&1; then
    rm -f "$log"
    return 0
  fi
  rm -f "$svg"
  echo "bench: gnuplot failed on $svg; see $log" >&2
  return 1
}

# Copies |svg| to $PLOT_DIR/|name| when PLOT_DIR is set.
plot_publish() {
  local svg="$1" name="$2"
  [ -n "${PLOT_DIR:-}" ] || return 0
  mkdir -p "$PLOT_DIR"
  cp "$svg" "$PLOT_DIR/$name"
  echo "bench: plot copied to $PLOT_DIR/$name" >&2
}
