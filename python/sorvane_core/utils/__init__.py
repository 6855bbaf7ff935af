"""Small shared types."""
