"""Demo: imports the module and shows the machine's NUMA topology."""
import tarvo_fastsort_numa as tfs

print("detect_topology():", tfs.detect_topology())
