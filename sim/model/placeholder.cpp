// Placeholder until the modem model lands; delete with it.
