PATH=$PATH:/usr/acct/bin
EDITOR=vi
export PATH EDITOR
