"""`factbrief extract|title --ray [ADDRESS] --output FILE INPUT...`: the
command's records, made on a Ray cluster and written as each finishes.

This process (the driver, driver.py) reads the inputs and writes the
records. On each node one long-lived actor (node.py) holds the run's
service open and makes the calls, several at once: a hosted service's
settings travel to it, `--demo` starts a stand-in on the node, `--local`
serves the node's own local model. session.py connects to the cluster,
or starts Ray on this machine for the run.
"""
