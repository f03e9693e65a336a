#!/usr/bin/env bash
# Prepare the checkout (scripts/setup.sh), then show the main jobs on the
# bundled example project in examples/shop.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" --for demo
cd "$root"

step() { printf '\n==> %s\n' "$*"; }

step "bin/marl plan examples/shop/manifest.json"
bin/marl plan examples/shop/manifest.json

step "bin/marl plan examples/shop/manifest.json --target warehouse_pg"
bin/marl plan examples/shop/manifest.json --target warehouse_pg

step "bin/marl plan examples/shop/manifest.json --target warehouse_pg --advise"
bin/marl plan examples/shop/manifest.json --target warehouse_pg --advise

step "bin/marl plan examples/shop/manifest_change.json --target warehouse_pg --baseline examples/shop/manifest.json"
echo "(manifest_change.json is a change to the shop project: order_payments also reads lake.events)"
bin/marl plan examples/shop/manifest_change.json --target warehouse_pg --baseline examples/shop/manifest.json \
    || echo "(exit status $?: the change makes a model federated, so a CI job would fail)"

step "bin/marl java search"
bin/marl java search || true

step "bin/marl java check"
bin/marl java check || echo "(exit status $?: the active Java does not suit the installed PySpark)"

step "bin/marl docs sample --project examples/shop"
bin/marl docs sample --project examples/shop

step "bin/marl plan examples/shop/manifest.json --target warehouse_pg --advise --project examples/shop"
echo "(with the project's profiles: the rows each federated model pulls per run, and each step's copy)"
bin/marl plan examples/shop/manifest.json --target warehouse_pg --advise --project examples/shop

step "bin/marl plan examples/shop/manifest.json --target warehouse_pg --html examples/shop/plan.html"
bin/marl plan examples/shop/manifest.json --target warehouse_pg --html examples/shop/plan.html
echo "open $root/examples/shop/plan.html in a browser to see the plan graph and the replication advice"

step "the profile browser and the plan graph in the docs server"
cat <<EOT
Run
    bin/marl docs serve --project examples/shop --manifest examples/shop/manifest.json --target warehouse_pg
and open http://127.0.0.1:8580/ (profiled tables, columns, alerts) and
http://127.0.0.1:8580/plan (plan graph and replication advice) in a browser; Ctrl-C stops the server.
EOT
