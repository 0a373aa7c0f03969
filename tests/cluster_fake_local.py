"""A stand-in for `local_service` on a Ray node, for tests without the
model: serves the stand-in with a delay and says, in a file of
`report_dir` named after the node, how often it was entered and the most
requests it answered at once. The driver of a test run puts it in place
of the real one and has Ray send it by value, as workers cannot import
the tests.

    python cluster_fake_local.py REPORT_DIR FACTBRIEF-ARGS...
"""

import contextlib
import functools
import json
import os
import sys
from types import SimpleNamespace

SLOTS = 2


@contextlib.contextmanager
def fake_service(report_dir, progress, model_file=None, cache=None,
                 environ=None):
    import ray
    from factbrief.standin import StandIn
    node = ray.get_runtime_context().get_node_id()
    with StandIn(delay=0.3) as server:
        progress.say(f"fake local service at {server.base_url}")
        try:
            yield SimpleNamespace(base_url=server.base_url, model="fake",
                                  api_key="fake-local-key-0123456789",
                                  slots=SLOTS)
        finally:
            path = os.path.join(report_dir, f"{node}-{os.getpid()}.json")
            with open(path, "w") as f:
                json.dump({"node": node, "peak": server.peak,
                           "answered": len(server.received)}, f)


if __name__ == "__main__":
    import ray.cloudpickle
    import factbrief.cli.cluster.driver as driver
    from factbrief.cli import main
    ray.cloudpickle.register_pickle_by_value(sys.modules[__name__])
    driver.local_service = functools.partial(fake_service, sys.argv[1])
    sys.exit(main(sys.argv[2:]))
