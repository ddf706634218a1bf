@@COMPANY
HARBOR SUPPLY CO.          14 Wharf Street, Portland ME 04101

INVOICE NO: @@INVNO        DATE: @@DATE
SOLD TO:    @@CUSTNAME
            @@CUSTCITY @@CUSTSTATE

ITEM    DESCRIPTION                      QTY      PRICE      AMOUNT
@@LINES
                                              TOTAL  @@TOTAL
Terms: net 30 days. 1.5% per month on overdue balances.
