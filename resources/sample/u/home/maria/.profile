PATH=$PATH:/usr/acct/bin
export PATH
PS1='harbor$ '
