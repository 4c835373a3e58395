"""The public demo key of the examples: for sample data only, since everyone has it.

The job itself has no default key; the demo hands this one over explicitly,
through the environment variable the job reads.
"""

DEMO_KEY = bytes.fromhex("5a6f72766120646f206e6f7420757365207468697320666f72207265616c2121")
