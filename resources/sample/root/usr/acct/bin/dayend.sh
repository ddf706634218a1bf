#!/bin/sh
# Day-end posting: orders -> invoices -> ledger
cd /usr/acct || exit 1
./bin/post_orders.sh >> reports/dayend.log 2>&1
lp -d printer1 reports/dayend.log
