"""Shared enumerations; part of the stand-in host layer (the SDK's real framework isn't available here)."""

import enum


class CustomEnum(enum.Enum):
    # Spelled out so the text form doesn't depend on the Python version's
    # Enum defaults.
    def __repr__(self):
        return "%s.%s" % (type(self).__name__, self.name)

    def __str__(self):
        return "%s.%s" % (type(self).__name__, self.name)


class DEFAULT_ACCOUNT_TYPE(CustomEnum):
    STOCK = "STOCK"
    FUTURE = "FUTURE"
    BOND = "BOND"


class INSTRUMENT_TYPE(CustomEnum):
    CS = "CS"
    FUTURE = "Future"
    INDX = "INDX"
    ETF = "ETF"


class EXCHANGE(CustomEnum):
    XSHG = "XSHG"
    XSHE = "XSHE"
    SHFE = "SHFE"
    DCE = "DCE"
    CFFEX = "CFFEX"


class SIDE(CustomEnum):
    BUY = "BUY"
    SELL = "SELL"


class POSITION_EFFECT(CustomEnum):
    OPEN = "OPEN"
    CLOSE = "CLOSE"
