"""Test doubles and tables shared by the tests, scripts/soak.py and bench/:
one in-process client (doubles), the method table with its source lines
and answer keys (lines), pytest fixtures (fixtures). The one HTTP service
is the package's own stand-in, factbrief.standin.StandIn."""
