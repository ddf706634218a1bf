#!/bin/sh
# Nightly backup of the accounting tree to tape.
cd /
find usr/acct u/home -print | cpio -ocB > /dev/rStp0
echo "backup done `date`" >> /usr/acct/reports/backup.log
