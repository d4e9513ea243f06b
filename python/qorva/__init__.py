"""qorva: a same-host publish/subscribe message bus over shared memory."""

from . import _qorva
from ._qorva import *  # noqa: F401,F403

__all__ = list(_qorva.__all__)
